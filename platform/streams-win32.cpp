// Windows bodies of the console output and the stream opens. Text is UTF-8 inside
// the program: a console is given it through its wide interface, which shows every
// name readably whatever the console's code page; a pipe or file gets the bytes.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <string>

#include "platform/console_text.h"
#include "platform/kept_failure.h"
#include "platform/platform.h"
#include "platform/utf16-win32.h"

namespace {
// Standard output's console, or null when it is a pipe, a file or nothing.
HANDLE findOutputConsole() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode))
    return nullptr;
  return output;
}

// Standard output stays where it is for the whole run: asked once.
HANDLE outputConsole() {
  static HANDLE console = findOutputConsole();
  return console;
}

// Writes length bytes of UTF-8 text to the console; bytes that are no UTF-8 show as
// U+FFFD. The console takes line ends as they are.
void writeToConsole(HANDLE console, const char* text, size_t length) {
  size_t units = 0;
  wchar_t* wide = widenText(text, length, 1, &units);
  if (!wide) return;
  for (size_t done = 0; done < units;) {
    DWORD written = 0;
    DWORD chunk = units - done > 8192 ? 8192 : static_cast<DWORD>(units - done);
    if (!WriteConsoleW(console, wide + done, chunk, &written, nullptr) || written == 0) break;
    done += written;
  }
  free(wide);
}
}  // namespace

namespace {
// Standard error's console, or null, as for standard output.
HANDLE errorConsole() {
  static HANDLE console = [] {
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    return errors && errors != INVALID_HANDLE_VALUE && GetConsoleMode(errors, &mode) ? errors
                                                                                     : nullptr;
  }();
  return console;
}

// Prints to a console through its wide interface, else the UTF-8 bytes to stream.
// Where shown is set, a console gets the names in the text escaped, as a terminal
// would obey what they hold (a console with terminal sequences turned on does).
int printTo(HANDLE console, FILE* stream, const char* format, va_list arguments, bool shown) {
  if (console && shown) {
    std::string escaped;
    int formed = formatForTerminal(&escaped, format, arguments);
    if (formed < 0) return -1;
    beginConsoleLine(stream);
    fflush(stream);
    writeToConsole(console, escaped.data(), escaped.size());
    endConsoleLine();
    return formed;
  }
  char small[1024];
  va_list again;
  va_copy(again, arguments);
  int printed = vsnprintf(small, sizeof small, format, arguments);
  char* text = small;
  if (printed >= 0 && static_cast<size_t>(printed) >= sizeof small) {
    // Paths may be far longer than the usual line.
    text = static_cast<char*>(malloc(static_cast<size_t>(printed) + 1));
    if (text) vsnprintf(text, static_cast<size_t>(printed) + 1, format, again);
  }
  va_end(again);
  if (printed < 0 || !text) return -1;
  // The progress line is erased first and drawn again after, on either stream. A
  // line on standard error comes after what standard output holds, and is not held
  // itself: a run whose two streams go to one file reads in order.
  beginConsoleLine(stream);
  if (stream == stderr) fflush(stdout);
  if (console) {
    // What printf may still hold must come first.
    fflush(stream);
    writeToConsole(console, text, static_cast<size_t>(printed));
  } else if (fwrite(text, 1, static_cast<size_t>(printed), stream) !=
             static_cast<size_t>(printed)) {
    printed = -1;
  }
  if (stream == stderr) fflush(stderr);
  endConsoleLine();
  if (text != small) free(text);
  return printed;
}
}  // namespace

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
  if (jsonOutputOn()) {
    int printed = printTo(errorConsole(), stderr, format, arguments, true);
    va_end(arguments);
    return printed;
  }
  int printed = printTo(outputConsole(), stdout, format, arguments, true);
  va_end(arguments);
  // The reader of a pipe left: the run stops as on Ctrl-C, its partial files removed.
  if (printed < 0 && !outputConsole()) {
    DWORD error = GetLastError();
    if (errno == EPIPE || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE)
      setInterruptRequested(1);
  }
  return printed;
}

int errorPrintf(const char* format, ...) {
  KeptFailureCode kept;  // the reason of a failure told after this stays its own
  va_list arguments;
  va_start(arguments, format);
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    int formed = divertFormatted(diversion, outputError, format, arguments);
    va_end(arguments);
    return formed;
  }
  int printed = printTo(errorConsole(), stderr, format, arguments, false);
  va_end(arguments);
  return printed;
}

void setJsonOutput(int on) {
  fflush(stdout);
  // JSON Lines end in a line feed alone: a pipe or a file gets the bytes as they are.
  _setmode(_fileno(stdout), on ? _O_BINARY : _O_TEXT);
  rememberJsonOutput(on);
}

int jsonPrint(const char* text, size_t length) {
  KeptFailureCode kept;
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    diversion->take(diversion->sink, outputJson, text, length);
    return 0;
  }
  beginConsoleLine(stdout);
  bool whole = true;
  if (HANDLE console = outputConsole()) {
    fflush(stdout);
    writeToConsole(console, text, length);
  } else {
    whole = fwrite(text, 1, length, stdout) == length;
  }
  endConsoleLine();
  if (!whole) {
    DWORD error = GetLastError();
    if (errno == EPIPE || error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE)
      setInterruptRequested(1);
  }
  return whole ? 0 : 1;
}

int syncStreamToDisk(FILE* file) {
  if (fflush(file) != 0) return 1;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) ? 0 : 1;
}
