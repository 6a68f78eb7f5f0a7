// The nets under a run's deletions, decided before its first change: a source that
// holds no file never empties the destination unasked, and --max-delete caps them.
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
/// allowEmptySource) and the cap of maxDeletions. Returns 0 when the run may go on,
/// or 1 after a line on standard output that gives the count: the run must then
/// stop before any change.
int deletionsRefused(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                     int sourceListingComplete);
