// Windows bodies of the console output and the stream opens. Text is UTF-8 inside
// the program: a console is given it through its wide interface, which shows every
// name readably whatever the console's code page; a pipe or file gets the bytes.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

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

int consolePrintf(const char* format, ...) {
  char small[1024];
  va_list arguments;
  va_start(arguments, format);
  int printed = vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (printed < 0) return printed;
  char* text = small;
  if (static_cast<size_t>(printed) >= sizeof small) {
    // Paths may be far longer than the usual line.
    text = static_cast<char*>(malloc(static_cast<size_t>(printed) + 1));
    if (!text) return -1;
    va_start(arguments, format);
    vsnprintf(text, static_cast<size_t>(printed) + 1, format, arguments);
    va_end(arguments);
  }
  HANDLE console = outputConsole();
  beginConsoleLine(stdout);
  if (console) {
    // What printf may still hold must come first.
    fflush(stdout);
    writeToConsole(console, text, static_cast<size_t>(printed));
  } else if (fwrite(text, 1, static_cast<size_t>(printed), stdout) !=
             static_cast<size_t>(printed)) {
    printed = -1;
  }
  endConsoleLine();
  if (text != small) free(text);
  return printed;
}

FILE* openFileForReading(const char* path) {
  WidePath wide(path);
  FILE* file = wide.text ? _wfopen(wide.text, L"rb") : nullptr;
  if (file) setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

FILE* openFileForAppending(const char* path) {
  // Text mode: every line end reaches the file as CR LF.
  WidePath wide(path);
  return wide.text ? _wfopen(wide.text, L"a+t") : nullptr;
}
