// The summary at the end of a run: what it copied, updated, deleted and kept, what
// failed, and the time it took, in one line that stays where the progress line was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reconcile/reconcile.h"

struct RunSettings;

/// How the run ended, as the summary's first word tells it.
enum SummaryKind {
  summaryDone = 0,     ///< "Done": the passes ran
  summaryPreview = 1,  ///< "Preview": -p, what a run would do
  summaryStopped = 2,  ///< "Stopped": stopped before the end (exit 2, 3 or interrupted)
};

/// The SummaryKind of a run that ended with status.
int summaryKindOf(int status, int previewOnly);

/// Writes the summary line (no line end) of counts, for a run of kind that took
/// elapsedMs, into line (size bytes, always terminated). With toBackup, what is not in
/// the source is told as moved to the backup folder.
void formatSummary(char* line, size_t size, const PassSummary& counts, int kind, int64_t elapsedMs,
                   int toBackup);

/// Prints the summary at the end of a run that ended with status: on standard output
/// with --stats; on standard error when the progress line was shown there
/// (shownOnTerminal), unless standard output got it on the same terminal.
void printSummary(const RunSettings& settings, const PassSummary& counts, int status,
                  int64_t elapsedMs, int shownOnTerminal);
