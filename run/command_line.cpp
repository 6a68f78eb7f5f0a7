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

const LongOption longOptions[] = {
    {"--no-sync", &noSync},
};
const int longOptionCount = static_cast<int>(sizeof longOptions / sizeof longOptions[0]);

namespace {
// The long option named by argument, or null.
const LongOption* longOptionNamed(const char* argument) {
  for (int k = 0; k < longOptionCount; ++k)
    if (strcmp(argument, longOptions[k].name) == 0) return &longOptions[k];
  return nullptr;
}
}  // namespace

void readOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    // A long option stands apart from the rule for the one-letter ones, and only
    // after the folders: a folder so named never turns the syncing off.
    const LongOption* option = i >= 3 ? longOptionNamed(argument) : nullptr;
    if (option) *option->flag = 1;
    if (argument[0] != '-' || argument[1] == '\0') continue;
    switch (argument[1]) {
      case 'v': verbose = 1; break;
      case 'l': logEnabled = 1; break;
      case 'p': previewOnly = 1; break;
      default: break;
    }
  }
}

int findUnknownLongOption(int argc, char** argv) {
  for (int i = 3; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '-' && argument[1] == '-' && argument[2] != '\0' &&
        !longOptionNamed(argument))
      return i;
  }
  return 0;
}

void reportUnknownLongOption(const char* argument) {
  char known[256] = "";
  size_t used = 0;
  for (int k = 0; k < longOptionCount && used < sizeof known; ++k) {
    int written =
        snprintf(known + used, sizeof known - used, "%s%s", k ? ", " : "", longOptions[k].name);
    if (written < 0) break;
    used += static_cast<size_t>(written);
  }
  consolePrintf("Unknown option [%s]: the long options are %s !\n", argument, known);
}

int printUsage(const char* programName) {
  int printed = consolePrintf("Usage: %s folder_to_update source_folder [options]\n", programName);
  if (printed <= 0) return 1;
  return printed > 255 ? 255 : printed;
}
