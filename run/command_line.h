// Reading the command line into the run settings.
#pragma once

#include <cstddef>
#include <cstdint>

/// Results of takeRoot.
enum TakeRootResult {
  rootTaken = 0,    ///< copied, trailing separators removed
  rootTooLong = 1,  ///< does not fit the path buffer
  rootEmpty = 2,    ///< empty, or nothing but separators (a file-system root)
};

/// Copies a folder argument into root (pathBufferSize bytes) and removes every
/// trailing separator, so that D:\dst\\ lines up with D:\dst. Returns a TakeRootResult.
int takeRoot(char* root, const char* argument);

/// Sets verbose, logEnabled and previewOnly from the arguments after the program
/// name: an argument counts when it is longer than one character and starts with
/// '-'; its second character alone decides (v, l or p); all else is ignored. Apart
/// from that rule, a long option (longOptions) after the two folders sets its flag.
void readOptions(int argc, char** argv);

/// One long option: its name and the setting it turns on (1) or, where most is not
/// 0, sets to the whole number from 1 to most that follows its name and '='.
struct LongOption {
  const char* name;
  int32_t* flag;
  int32_t most;
};
/// Every long option the program knows, in the order the refusal names them.
extern const LongOption longOptions[];
/// Number of entries in longOptions.
extern const int longOptionCount;

/// Index of the first argument after the two folders that starts with "--" and a
/// name but is no long option (a guess such as --dry-run must not be dropped
/// silently), or 0 when there is none. "--" alone is no such argument.
int findUnknownLongOption(int argc, char** argv);
/// Index of the first long option after the two folders whose number is missing or
/// out of its range (--workers=0), or 0 when there is none.
int findBadLongOptionValue(int argc, char** argv);
/// Prints the refusal of such an option's value.
void reportBadLongOptionValue(const char* argument);
/// Prints the refusal of an unknown long option, naming the known ones.
void reportUnknownLongOption(const char* argument);

/// Prints the usage line and returns the exit status it calls for: the number of
/// characters printed, kept within 1..255 so that it never reads as success.
int printUsage(const char* programName);
