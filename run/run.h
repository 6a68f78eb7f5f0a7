// The run sequence: from the command line to the exit status.
#pragma once

/// Runs the whole program once and returns its exit status.
int runTalven(int argc, char** argv);

/// Checks, on resolved absolute paths, that neither root lies inside the other and
/// that they are not one folder. Prints the reason and returns nonzero when they do.
int checkRootsApart(const char* destination, const char* source);

/// Test seam: when set, called once both listings have ended, before the last look at
/// the keyboard that comes before the first change.
extern void (*scansEndedHook)();
