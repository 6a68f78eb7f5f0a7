// Windows keyboard poll and interruption: the console delivers single keys without
// echo by itself, so watching needs no mode change.
#include <conio.h>
#include <windows.h>

#include "platform/platform.h"

namespace {
CRITICAL_SECTION keyLock;
// Ready before main, so before any scan thread polls.
const bool keyLockReady = (InitializeCriticalSection(&keyLock), true);
volatile LONG interrupted = 0;

// _getch gives a function or cursor key as 0 or 0xE0 followed by the key's own code.
int isExtendedPrefix(int code) {
  return code == 0 || code == 0xE0;
}

BOOL WINAPI onConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&interrupted, 1);
  return TRUE;
}
}  // namespace

void beginKeyWatch() {}

void endKeyWatch() {}

int pollKey() {
  (void)keyLockReady;
  int key = -1;
  // One lock across test and read: a key that the test saw cannot be taken by the
  // other walker before this one reads it, so _getch never waits.
  EnterCriticalSection(&keyLock);
  if (_kbhit()) {
    key = _getch();
    if (isExtendedPrefix(key)) {
      _getch();
      key = keySequence;
    }
  }
  LeaveCriticalSection(&keyLock);
  return key;
}

void installInterruptHandler() {
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

int interruptRequested() {
  return InterlockedCompareExchange(&interrupted, 0, 0) != 0;
}

void setInterruptRequested(int requested) {
  InterlockedExchange(&interrupted, requested ? 1 : 0);
}
