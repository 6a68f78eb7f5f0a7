// The patterns of a run (--exclude, --include, --exclude-from, --include-from): taken
// from the command line, read and compiled before anything is listed, and only read
// by the scans afterwards.
#pragma once

#include <string>
#include <vector>

#include "scan/filter.h"

/// A file of patterns named on the command line.
struct PatternFile {
  int kind;  ///< a FilterKind
  std::string path;
};

/// The run's patterns: those given and the files named, then the compiled set.
struct RunFilters {
  FilterSet set;
  std::vector<PatternFile> files;
};

/// Adds a pattern given on the command line to the list of kind (a FilterKind);
/// option, kept for the run (the option's name), names it in the line that refuses it.
void addRunFilterPattern(RunFilters* filters, int kind, const char* pattern, const char* option);
/// Adds a file of patterns of kind, one a line, to be read by prepareRunFilters.
void addRunFilterFile(RunFilters* filters, int kind, const char* path);
/// Reads the pattern files and compiles every pattern, letters compared as the
/// platform compares names. Prints the one line that names a file that cannot be
/// read, a line of a file that is no text (a NUL byte; on Windows, no UTF-8) or a
/// pattern that cannot be compiled, and returns exitStopped then (or
/// exitOutOfMemory); 0 when the run may go on.
int prepareRunFilters(RunFilters* filters);
/// Makes the patterns fold letter case where the destination root, or a file
/// system mounted below it, takes names that differ only in case for one; 0, or
/// exitOutOfMemory.
int fitRunFiltersTo(RunFilters* filters, const char* destinationRoot);
/// The compiled patterns, or null when none was given.
const FilterSet* runFilterSet(const RunFilters& filters);
/// True when a pattern (or, with isFile, a pattern file) of kind was given as text.
bool runFilterGiven(const RunFilters& filters, int kind, const char* text, int isFile);
