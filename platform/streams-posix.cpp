// POSIX bodies of the console output and the stream opens: names are bytes here,
// and the terminal shows them as they are, but for their control characters.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "platform/console_text.h"
#include "platform/kept_failure.h"
#include "platform/platform.h"

int consolePrintf(const char* format, ...) {
  KeptFailureCode kept;  // the reason of a failure told after this stays its own
  va_list arguments;
  va_start(arguments, format);
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    int formed = divertFormatted(diversion, outputStandard, format, arguments);
    va_end(arguments);
    return formed;
  }
  beginConsoleLine(stdout);
  int printed;
  if (isatty(STDOUT_FILENO)) {
    // A terminal would obey what a name holds: it is shown escaped. A pipe or a
    // file gets the bytes as they are.
    std::string shown;
    printed = formatForTerminal(&shown, format, arguments);
    if (printed >= 0 && fwrite(shown.data(), 1, shown.size(), stdout) != shown.size()) printed = -1;
  } else {
    printed = vprintf(format, arguments);
  }
  endConsoleLine();
  va_end(arguments);
  // The reader of a pipe left (talven ... | head): the run stops as on Ctrl-C, its
  // partial files removed, rather than be ended by SIGPIPE, which is ignored.
  if ((printed < 0 || ferror(stdout)) && errno == EPIPE) setInterruptRequested(1);
  return printed;
}

int syncStreamToDisk(FILE* file) {
  return fflush(file) == 0 && fdatasync(fileno(file)) == 0 ? 0 : 1;
}

char** programArguments(int*, char** argv) {
  return argv;
}
