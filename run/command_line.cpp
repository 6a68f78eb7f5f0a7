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
    {"--no-sync", &noSync, 0},
    {"--workers", &copyWorkers, mostCopyWorkers},
};
const int longOptionCount = static_cast<int>(sizeof longOptions / sizeof longOptions[0]);

namespace {
// The long option named by argument, or null.
// An option that takes a number is named with it: --workers=2.
const LongOption* longOptionNamed(const char* argument) {
  for (int k = 0; k < longOptionCount; ++k) {
    const LongOption& option = longOptions[k];
    size_t length = strlen(option.name);
    if (strncmp(argument, option.name, length) != 0) continue;
    if (option.most == 0 ? argument[length] == '\0' : argument[length] == '=') return &option;
  }
  return nullptr;
}

// The number after the '=' of a long option that takes one, or 0 when it is no whole
// number from 1 to the option's most.
int32_t optionValue(const LongOption& option, const char* argument) {
  const char* digits = argument + strlen(option.name) + 1;
  int32_t value = 0;
  if (*digits == '\0') return 0;
  for (; *digits; ++digits) {
    if (*digits < '0' || *digits > '9') return 0;
    value = value * 10 + (*digits - '0');
    if (value > option.most) return 0;
  }
  return value;
}
}  // namespace

void readOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    // A long option stands apart from the rule for the one-letter ones, and only
    // after the folders: a folder so named never turns the syncing off.
    const LongOption* option = i >= 3 ? longOptionNamed(argument) : nullptr;
    if (option) *option->flag = option->most ? optionValue(*option, argument) : 1;
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

int findBadLongOptionValue(int argc, char** argv) {
  for (int i = 3; i < argc; ++i) {
    const LongOption* option = longOptionNamed(argv[i]);
    if (option && option->most && optionValue(*option, argv[i]) == 0) return i;
  }
  return 0;
}

void reportBadLongOptionValue(const char* argument) {
  const LongOption* option = longOptionNamed(argument);
  consolePrintf("Bad value [%s]: %s takes a whole number from 1 to %d !\n", argument,
                option ? option->name : argument, option ? option->most : 0);
}

void reportUnknownLongOption(const char* argument) {
  char known[256] = "";
  size_t used = 0;
  for (int k = 0; k < longOptionCount && used < sizeof known; ++k) {
    int written = snprintf(known + used, sizeof known - used, "%s%s%s", k ? ", " : "",
                           longOptions[k].name, longOptions[k].most ? "=N" : "");
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
