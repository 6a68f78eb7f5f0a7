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
  // Where standard output carries JSON, console lines go to standard error.
  FILE* stream = jsonOutputOn() ? stderr : stdout;
  beginConsoleLine(stream);
  int printed;
  if (isatty(fileno(stream))) {
    // A terminal would obey what a name holds: it is shown escaped. A pipe or a
    // file gets the bytes as they are.
    std::string shown;
    printed = formatForTerminal(&shown, format, arguments);
    if (printed >= 0 && fwrite(shown.data(), 1, shown.size(), stream) != shown.size()) printed = -1;
  } else {
    printed = vfprintf(stream, format, arguments);
  }
  endConsoleLine();
  va_end(arguments);
  // The reader of a pipe left (talven ... | head): the run stops as on Ctrl-C, its
  // partial files removed, rather than be ended by SIGPIPE, which is ignored.
  if ((printed < 0 || ferror(stream)) && errno == EPIPE) setInterruptRequested(1);
  return printed;
}

void setJsonOutput(int on) {
  fflush(stdout);
  rememberJsonOutput(on);
}

int jsonPrint(const char* text, size_t length) {
  KeptFailureCode kept;
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    diversion->take(diversion->sink, outputJson, text, length);
    return 0;
  }
  // JSON escapes every control character: a terminal is given the bytes as well.
  beginConsoleLine(stdout);
  bool whole = fwrite(text, 1, length, stdout) == length;
  endConsoleLine();
  if (!whole && errno == EPIPE) setInterruptRequested(1);
  return whole ? 0 : 1;
}

int syncStreamToDisk(FILE* file) {
  return fflush(file) == 0 && fdatasync(fileno(file)) == 0 ? 0 : 1;
}

char** programArguments(int*, char** argv) {
  return argv;
}
