// Running out of memory ends a run the documented way, wherever it happens: the
// message, exit status 3, and no partial file left behind.
#pragma once

/// Sets aside a reserve of memory and makes any allocation that finds no memory let
/// it go and stop the run as an interruption stops it (the copies under way removed,
/// those written put in place), so that the run can end in order; where that happens
/// a second time, the process ends at once with the message and status 3. Done at
/// the start of every run.
void beginMemoryWatch();
/// True once memory ran out in this run.
int memoryRanOut();
/// What an allocation that finds no memory calls (the new-handler); a test calls it
/// to play that moment.
void onMemoryExhausted();
