// POSIX keyboard watch and interruption: the terminal is put in non-canonical mode
// without echo only while the scans run, and given back on every way out.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"

namespace {
pthread_mutex_t keyLock = PTHREAD_MUTEX_INITIALIZER;
struct termios savedMode;
volatile sig_atomic_t modeSaved = 0;
// Lock-free, so the signal handler may set it; read by the copy workers too.
std::atomic<int> interrupted{0};
int exitHookInstalled = 0;
// How long the rest of an escape sequence may take to arrive after its ESC.
constexpr int sequenceWaitMs = 30;

// False when the terminal belongs to another process group: a job put in the
// background, which the terminal stops for setting its mode or reading it. The shell
// that took the terminal back has set its own mode; a terminal that is not the
// controlling one gives -1 and has no such rule.
bool inForeground() {
  pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground == -1 || foreground == getpgrp();
}

void restoreMode() {
  if (modeSaved) {
    if (inForeground()) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
    modeSaved = 0;
  }
}

void onInterrupt(int) {
  interrupted = 1;
  restoreMode();  // tcsetattr is async-signal-safe
}

// Reads one byte if one arrives within waitMs; -1 otherwise.
int readByte(int waitMs) {
  struct pollfd input = {STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, waitMs) <= 0 || !(input.revents & POLLIN)) return -1;
  unsigned char byte;
  return read(STDIN_FILENO, &byte, 1) == 1 ? byte : -1;
}

// After ESC: a lone ESC is the key itself; ESC [ ... final or ESC O x is a function
// or cursor key, consumed whole.
int readAfterEscape() {
  int next = readByte(sequenceWaitMs);
  // A second ESC is the key pressed again, not the start of a sequence.
  if (next < 0 || next == 27) return 27;
  if (next == '[') {
    for (int byte = readByte(sequenceWaitMs); byte >= 0; byte = readByte(sequenceWaitMs))
      if (byte >= 0x40 && byte <= 0x7E) break;
  } else if (next == 'O') {
    readByte(sequenceWaitMs);
  }
  return keySequence;
}
}  // namespace

void beginKeyWatch() {
  if (!isatty(STDIN_FILENO) || !inForeground()) return;
  struct termios mode;
  if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
  savedMode = mode;
  mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  if (!exitHookInstalled) {
    atexit(endKeyWatch);
    exitHookInstalled = 1;
  }
  modeSaved = 1;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) modeSaved = 0;
}

void endKeyWatch() {
  pthread_mutex_lock(&keyLock);
  restoreMode();
  pthread_mutex_unlock(&keyLock);
}

int pollKey() {
  pthread_mutex_lock(&keyLock);
  int key = -1;
  if (modeSaved && inForeground()) {
    key = readByte(0);
    if (key == 27) key = readAfterEscape();
  }
  pthread_mutex_unlock(&keyLock);
  return key;
}

void installInterruptHandler() {
  struct sigaction action = {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed standard output is met as EPIPE on the write (consolePrintf).
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int interruptRequested() {
  return interrupted;
}

void setInterruptRequested(int requested) {
  interrupted = requested ? 1 : 0;
}
