// The usage line.
#include "platform/platform.h"
#include "run/command_line.h"

int printUsage(const char* programName) {
  int printed = consolePrintf("Usage: %s folder_to_update source_folder [options]\n", programName);
  if (printed <= 0) return 1;
  return printed > 255 ? 255 : printed;
}
