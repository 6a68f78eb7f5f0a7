// The run sequence: from the command line to the exit status.
#pragma once

struct RunSeams;

/// Runs the whole program once and returns its exit status.
int runTalven(int argc, char** argv);
/// The same with test seams (seams.h); null: none.
int runTalvenWith(int argc, char** argv, const RunSeams* seams);

/// Checks, on resolved absolute paths, that neither root lies inside the other and
/// that they are not one folder. Prints the reason and returns nonzero when they do.
int checkRootsApart(const char* destination, const char* source);
