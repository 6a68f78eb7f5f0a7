// Reading the command line into the run settings.
#pragma once

#include <cstddef>

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
/// from that rule, "--no-sync" after the two folders sets noSync.
void readOptions(int argc, char** argv);

/// Prints the usage line and returns the exit status it calls for: the number of
/// characters printed, kept within 1..255 so that it never reads as success.
int printUsage(const char* programName);
