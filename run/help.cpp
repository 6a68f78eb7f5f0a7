// The usage line, the help and the version.
#include <cstdio>
#include <cstring>

#include "base/version.h"
#include "platform/platform.h"
#include "run/command_line.h"

namespace {
// The column the explanations of the help start at.
constexpr int helpColumn = 24;

void printOptionLine(const char* written, const char* help) {
  int length = static_cast<int>(strlen(written));
  consolePrintf("  %s%*s%s\n", written, length < helpColumn - 2 ? helpColumn - 2 - length : 1, "",
                help);
}

// One line each: on a terminal, a line end that an argument brings is shown escaped.
const char* const exitStatusLines[] = {
    "  0      the run completed and every decided action succeeded (or was reported)\n",
    "  1      the run completed, but an action failed, an entry could not be listed,\n",
    "         or the changes or the log could not be written to disk\n",
    "  2      the run stopped before changing anything: a refused argument, nested\n",
    "         or equal folders, another run on the destination, an unreadable\n",
    "         source, a source that holds no file, more deletions than --max-delete\n",
    "         allows, deletions of newer files not confirmed, ESC\n",
    "  3      memory for the file tables ran out\n",
    "  130    interrupted by Ctrl-C or SIGTERM, or standard output closed\n",
    "  other  too few arguments: the length of the usage line printed\n",
};
}  // namespace

int printUsage(const char* programName) {
  int printed = consolePrintf("Usage: %s folder_to_update source_folder [options]\n", programName);
  if (printed <= 0) return 1;
  return printed > 255 ? 255 : printed;
}

void printHelp(const char* programName) {
  printUsage(programName);
  consolePrintf(
      "Makes folder_to_update a mirror of source_folder: the folder to update comes\n"
      "first, unlike cp and rsync. Options come after the two folders.\n\nOptions:\n");
  printOptionLine("-v", "print progress messages");
  printOptionLine("-l", "log every action to .mirror_log in the current folder");
  printOptionLine("-p", "preview: report and log everything, change nothing");
  printOptionLine("-q", "quiet: standard output tells only what failed or stopped");
  for (int k = 0; k < longOptionCount; ++k) {
    char written[64];
    const LongOption& option = longOptions[k];
    snprintf(written, sizeof written, "%s%s%s", option.name, option.valueName ? "=" : "",
             option.valueName ? option.valueName : "");
    printOptionLine(written, option.help);
  }
  printOptionLine(platformIsWindows ? "--help, -h, /?" : "--help, -h", "print this help");
  printOptionLine("--version", "print the version and the license");
  consolePrintf("\nExit status:\n");
  for (const char* line : exitStatusLines) consolePrintf("%s", line);
}

void printVersion() {
  consolePrintf("talven " TALVEN_VERSION "\n" TALVEN_COPYRIGHT "\n");
}
