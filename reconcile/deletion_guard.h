// The nets under a run's deletions, decided before its first change: a source that
// holds no file never empties the destination unasked, --max-delete caps them, and
// the person at the terminal is asked before files newer than every source file go.
#pragma once

#include <cstdint>

#include "reconcile/open_log_guard.h"
#include "reconcile/twin_index.h"

struct RunSettings;

/// The deletions the passes will decide: the destination entries that no source
/// entry claims as its twin, the open log left out (it is never deleted); 0 when the
/// source listing is incomplete, since deletions are then left out. index is over
/// destinationTable; no entry is handled yet, and none is left handled.
int32_t countDeletions(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                       int sourceListingComplete);
/// Checks the deletions the run would make against the empty-source guard (unless
/// allowEmptySource) and the cap of maxDeletions, then, where a person is at the
/// terminal (personAtTerminal) and neither previewOnly, backupDir nor assumeYes is
/// set, asks before deleting files newer than the newest file of the source
/// listing. Returns 0 when the run may go on, else the exit status it must stop
/// with, before any change: exitStopped after a line on standard output (a refusal
/// that gives the count, or the question not answered yes), or
/// interruptedExitStatus when Ctrl-C came while it asked.
int deletionsRefused(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                     int sourceListingComplete);
