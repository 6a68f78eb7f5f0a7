// Prints the long options of the command line, one a line, as the program's table
// holds them: the name, followed by '=' and what the value names where the option
// takes one (--log=FILE, --backup-dir=DIR, --workers=N). The build runs it to write
// the completion, so that the completion offers what the program's own table holds
// and nothing else, and completes file names or folder names where the value is one.
#include <cstdio>

#include "run/command_line.h"

int main() {
  for (int k = 0; k < longOptionCount; ++k) {
    const LongOption& option = longOptions[k];
    if (printf("%s%s%s\n", option.name, option.valueName ? "=" : "",
               option.valueName ? option.valueName : "") < 0)
      return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
