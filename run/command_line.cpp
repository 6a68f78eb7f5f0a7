#include "run/command_line.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "run/settings.h"

int takeRoot(char* root, const char* argument) {
  size_t length = strlen(argument);
  if (length >= static_cast<size_t>(pathBufferSize)) return rootTooLong;
  while (length > 0 && isPathSeparator(argument[length - 1])) --length;
  if (length == 0) return rootEmpty;
  memcpy(root, argument, length);
  root[length] = '\0';
  return rootTaken;
}

void readOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    // A long option stands apart from the rule for the one-letter ones, and only
    // after the folders: a folder so named never turns the syncing off.
    if (i >= 3 && strcmp(argument, "--no-sync") == 0) noSync = 1;
    if (argument[0] != '-' || argument[1] == '\0') continue;
    switch (argument[1]) {
      case 'v': verbose = 1; break;
      case 'l': logEnabled = 1; break;
      case 'p': previewOnly = 1; break;
      default: break;
    }
  }
}

int printUsage(const char* programName) {
  int printed = consolePrintf("Usage: %s folder_to_update source_folder [options]\n", programName);
  if (printed <= 0) return 1;
  return printed > 255 ? 255 : printed;
}
