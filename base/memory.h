// Running out of memory ends a run the documented way, wherever it happens: one line,
// exit status 3, and no partial file left behind. Every place that finds no memory
// takes this one way.
#pragma once

/// Where memory ran out, as memoryRanOut tells it.
enum MemoryFailure {
  memoryHeld = 0,         ///< it did not run out
  memoryForAnything = 1,  ///< an allocation found none: "Memory allocation failure !"
  memoryForTable = 2,     ///< an entry table could not grow: "Error reallocating memory resource !"
};

/// Sets aside a reserve of memory and makes any allocation that finds no memory let
/// it go and stop the run as an interruption stops it (the copies under way removed,
/// those written put in place), so that the run can end in order; where that happens
/// a second time, the process ends at once with the message and status 3. Done at
/// the start of every run.
void beginMemoryWatch();
/// A MemoryFailure: where memory ran out first in this run, if it did.
int memoryRanOut();
/// The line that tells how memory ran out (with its line end), for a MemoryFailure.
const char* memoryFailureLine(int failure);
/// What an allocation that finds no memory calls (the new-handler); a test calls it
/// to play that moment.
void onMemoryExhausted();
/// The same for an entry table that cannot grow while a tree is listed.
void onTableExhausted();
