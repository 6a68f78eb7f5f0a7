// Windows bodies of the status line and the ticker: the line is written to standard
// error's console through its wide interface, as every console line is, and every
// console line takes it away before it is printed.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "platform/platform.h"

namespace {
SRWLOCK consoleLock = SRWLOCK_INIT;
// Guarded by consoleLock: the columns the status line covers now (0: not shown).
DWORD statusColumns = 0;

HANDLE errorConsole() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (error == nullptr || error == INVALID_HANDLE_VALUE || !GetConsoleMode(error, &mode))
    return nullptr;
  return error;
}

// Standard output shares the console with the status line only when it is one too.
int outputOnConsole() {
  static int onConsole = [] {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    return output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode);
  }();
  return onConsole;
}

// Writes the status text (ASCII) from the line's start, blanks what a longer line
// before it left, and leaves the cursor after the text.
void drawColumns(HANDLE console, const char* text) {
  DWORD length = static_cast<DWORD>(strlen(text));
  DWORD covered = length > statusColumns ? length : statusColumns;
  wchar_t line[1024];
  if (covered + 2 > sizeof line / sizeof line[0]) covered = sizeof line / sizeof line[0] - 2;
  DWORD units = 0;
  line[units++] = L'\r';
  for (DWORD i = 0; i < covered; ++i) line[units++] = i < length ? text[i] : L' ';
  DWORD written = 0;
  WriteConsoleW(console, line, units, &written, nullptr);
  // Back over the blanks, to the end of the text.
  units = 0;
  line[units++] = L'\r';
  for (DWORD i = 0; i < length && i < covered; ++i) line[units++] = text[i];
  if (covered > length) WriteConsoleW(console, line, units, &written, nullptr);
  statusColumns = length;
}
}  // namespace

int outputIsTerminal() {
  return outputOnConsole();
}

int statusLineWidth() {
  HANDLE console = errorConsole();
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!console) return 0;
  if (!GetConsoleScreenBufferInfo(console, &info)) return 80;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void beginConsoleLine(FILE* stream) {
  AcquireSRWLockExclusive(&consoleLock);
  if (statusColumns > 0 && (stream == stderr || outputOnConsole())) {
    HANDLE console = errorConsole();
    if (console) drawColumns(console, "");
    statusColumns = 0;
  }
}

void endConsoleLine() {
  ReleaseSRWLockExclusive(&consoleLock);
}

void showStatusLine(const char* text) {
  AcquireSRWLockExclusive(&consoleLock);
  fflush(stdout);
  HANDLE console = errorConsole();
  if (console) drawColumns(console, text);
  ReleaseSRWLockExclusive(&consoleLock);
}

struct PlatformTicker {
  HANDLE thread;
  HANDLE stop;
  void (*tick)(void*);
  void* argument;
  int intervalMs;
};

namespace {
DWORD WINAPI tickerLoop(void* argument) {
  PlatformTicker* ticker = static_cast<PlatformTicker*>(argument);
  // The first tick comes at once, even when the ticker is stopped before it runs.
  do {
    ticker->tick(ticker->argument);
  } while (WaitForSingleObject(ticker->stop, static_cast<DWORD>(ticker->intervalMs)) ==
           WAIT_TIMEOUT);
  return 0;
}
}  // namespace

PlatformTicker* startTicker(void (*tick)(void*), void* argument, int intervalMs) {
  PlatformTicker* ticker = static_cast<PlatformTicker*>(calloc(1, sizeof(PlatformTicker)));
  if (!ticker) return nullptr;
  ticker->tick = tick;
  ticker->argument = argument;
  ticker->intervalMs = intervalMs;
  ticker->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ticker->stop) ticker->thread = CreateThread(nullptr, 0, tickerLoop, ticker, 0, nullptr);
  if (!ticker->thread) {
    if (ticker->stop) CloseHandle(ticker->stop);
    free(ticker);
    return nullptr;
  }
  return ticker;
}

void stopTicker(PlatformTicker* ticker) {
  if (!ticker) return;
  SetEvent(ticker->stop);
  WaitForSingleObject(ticker->thread, INFINITE);
  CloseHandle(ticker->thread);
  CloseHandle(ticker->stop);
  free(ticker);
}
