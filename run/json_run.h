// The --json stream's frame: the start object once the command line is read, one
// object for each entry a listing left out, and the end object with the summary's
// counts and the exit status.
#pragma once

#include <cstdint>

#include "reconcile/reconcile.h"

struct RunSettings;

/// Prints the start object: the time with its offset, the version, the two folders as
/// given (argv[1], argv[2]) and as resolved, and the options (argv from 3 on).
void tellJsonStart(const RunSettings& settings, int argc, char** argv);
/// Prints an unlisted object for each entry either listing left out, the
/// destination's first.
void tellJsonUnlisted(const RunSettings& settings);
/// Prints the end object of a run that ended with status after elapsedMs.
void tellJsonEnd(const RunSettings& settings, const PassSummary& summary, int status,
                 int64_t elapsedMs);
