// Prints the long options of the command line, one a line, as the shell completion
// offers them: the name, followed by '=' where the option takes a value. The build
// runs it to write the completion, so that the completion offers what the program's
// own table holds and nothing else.
#include <cstdio>

#include "run/command_line.h"

int main() {
  for (int k = 0; k < longOptionCount; ++k) {
    const LongOption& option = longOptions[k];
    if (printf("%s%s\n", option.name, option.valueName ? "=" : "") < 0) return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
