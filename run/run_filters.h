// The patterns of a run (--exclude, --include, --exclude-from, --include-from): taken
// from the command line, read and compiled before anything is listed, and only read
// by the scan threads afterwards.
#pragma once

#include "scan/filter.h"

/// Adds a pattern given on the command line to the list of kind (a FilterKind);
/// option names it in the line that refuses it.
void addRunFilterPattern(int kind, const char* pattern, const char* option);
/// Adds a file of patterns of kind, one a line, to be read by prepareRunFilters.
void addRunFilterFile(int kind, const char* path);
/// Reads the pattern files and compiles every pattern, letters compared as the
/// platform compares names. Prints the one line that names a file that cannot be
/// read or a pattern that cannot be, and returns exitStopped then (or
/// exitOutOfMemory); 0 when the run may go on.
int prepareRunFilters();
/// Makes the patterns fold letter case where the destination root, or a file
/// system mounted below it, takes names that differ only in case for one; 0, or
/// exitOutOfMemory.
int fitRunFiltersTo(const char* destinationRoot);
/// The compiled patterns of the run, or null when none was given.
const FilterSet* runFilterSet();
/// True when a pattern (or, with isFile, a pattern file) of kind was given as text.
bool runFilterGiven(int kind, const char* text, int isFile);
/// Forgets every pattern and file (between runs in one process, as tests make them).
void resetRunFilters();
