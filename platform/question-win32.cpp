// Windows bodies of the question to the person at the console: asked on standard
// error's console through its wide interface, as every console line is, and
// answered in the console's own line mode (typed, echoed and edited there).
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <string>

#include "platform/console_text.h"
#include "platform/platform.h"
#include "platform/utf16-win32.h"

namespace {
// The console a standard handle is, or null for a pipe, a file or nothing.
HANDLE consoleOf(DWORD standard) {
  HANDLE handle = GetStdHandle(standard);
  DWORD mode;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
    return nullptr;
  return handle;
}

void writeWide(HANDLE console, const wchar_t* text, size_t units) {
  for (size_t done = 0; done < units;) {
    DWORD written = 0;
    DWORD chunk = units - done > 8192 ? 8192 : static_cast<DWORD>(units - done);
    if (!WriteConsoleW(console, text + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

// Reads the answer line into answer (size bytes, at least 1); characters beyond
// ASCII are kept as '?', since only ASCII answers mean anything. A TerminalAnswer.
int readAnswerLine(HANDLE input, char* answer, size_t size) {
  size_t used = 0;
  for (;;) {
    wchar_t units[64];
    DWORD got = 0;
    if (!ReadConsoleW(input, units, 64, &got, nullptr) || got == 0) {
      // Ctrl-C ends the read; its handler runs on a thread of its own, a moment later.
      Sleep(50);
      answer[used] = '\0';
      return interruptRequested() ? answerInterrupted : answerNone;
    }
    for (DWORD i = 0; i < got; ++i) {
      if (units[i] == L'\n') {
        answer[used] = '\0';
        return answerGiven;
      }
      if (units[i] != L'\r' && used + 1 < size)
        answer[used++] = units[i] < 0x80 ? static_cast<char>(units[i]) : '?';
    }
  }
}
}  // namespace

int personAtTerminal() {
  return consoleOf(STD_INPUT_HANDLE) != nullptr && consoleOf(STD_ERROR_HANDLE) != nullptr;
}

int askOnTerminal(char* answer, size_t size, const char* format, ...) {
  std::string question;
  va_list arguments;
  va_start(arguments, format);
  int formed = formatForTerminal(&question, format, arguments);
  va_end(arguments);
  if (size > 0) answer[0] = '\0';
  HANDLE input = consoleOf(STD_INPUT_HANDLE);
  HANDLE error = consoleOf(STD_ERROR_HANDLE);
  size_t units = 0;
  wchar_t* wide = formed < 0 ? nullptr : widenText(question.data(), question.size(), 1, &units);
  if (!wide || !input || !error || size == 0) {
    free(wide);
    return answerNone;
  }
  fflush(stdout);
  beginConsoleLine(stderr);
  // A key pressed before the question was seen answers nothing.
  FlushConsoleInputBuffer(input);
  DWORD mode = 0;
  GetConsoleMode(input, &mode);
  SetConsoleMode(input, mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
  writeWide(error, wide, units);
  free(wide);
  int result = readAnswerLine(input, answer, size);
  SetConsoleMode(input, mode);
  // No line was typed to its end: what follows starts on a line of its own.
  if (result != answerGiven) writeWide(error, L"\r\n", 2);
  endConsoleLine();
  return result;
}
