// POSIX bodies of the status line and the ticker: the line lives on standard error
// when that is a terminal, and every console line takes it away before it is printed,
// so that a line never lands inside it.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {
pthread_mutex_t consoleLock = PTHREAD_MUTEX_INITIALIZER;
// Guarded by consoleLock: the status line is on the terminal now.
int statusShown = 0;
constexpr char eraseLine[] = "\r\033[K";

void writeAll(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// Standard output shares the terminal with the status line only when it is one too.
int outputOnTerminal() {
  static int onTerminal = isatty(STDOUT_FILENO);
  return onTerminal;
}
}  // namespace

int outputIsTerminal() {
  return outputOnTerminal();
}

int statusLineWidth() {
  if (!isatty(STDERR_FILENO)) return 0;
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

void beginConsoleLine(FILE* stream) {
  pthread_mutex_lock(&consoleLock);
  if (statusShown && (stream == stderr || outputOnTerminal())) {
    writeAll(eraseLine, sizeof eraseLine - 1);
    statusShown = 0;
  }
}

void endConsoleLine() {
  pthread_mutex_unlock(&consoleLock);
}

void showStatusLine(const char* text) {
  pthread_mutex_lock(&consoleLock);
  // A line printed before must reach the terminal before the status drawn under it.
  fflush(stdout);
  char line[512];
  int length = snprintf(line, sizeof line, "\r%s\033[K", text);
  if (length > 0) writeAll(line, length < static_cast<int>(sizeof line) ? length : sizeof line - 1);
  statusShown = text[0] != '\0';
  pthread_mutex_unlock(&consoleLock);
}

struct PlatformTicker {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t wake;
  int stop;
  void (*tick)(void*);
  void* argument;
  int intervalMs;
};

namespace {
void* tickerLoop(void* argument) {
  PlatformTicker* ticker = static_cast<PlatformTicker*>(argument);
  // The first tick comes at once, even when the ticker is stopped before it runs.
  ticker->tick(ticker->argument);
  pthread_mutex_lock(&ticker->lock);
  while (!ticker->stop) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    long nanoseconds = deadline.tv_nsec + ticker->intervalMs * 1000000L;
    deadline.tv_sec += nanoseconds / 1000000000L;
    deadline.tv_nsec = nanoseconds % 1000000000L;
    while (!ticker->stop &&
           pthread_cond_timedwait(&ticker->wake, &ticker->lock, &deadline) != ETIMEDOUT) {
    }
    if (ticker->stop) break;
    pthread_mutex_unlock(&ticker->lock);
    ticker->tick(ticker->argument);
    pthread_mutex_lock(&ticker->lock);
  }
  pthread_mutex_unlock(&ticker->lock);
  return nullptr;
}
}  // namespace

PlatformTicker* startTicker(void (*tick)(void*), void* argument, int intervalMs) {
  PlatformTicker* ticker = static_cast<PlatformTicker*>(calloc(1, sizeof(PlatformTicker)));
  if (!ticker) return nullptr;
  ticker->tick = tick;
  ticker->argument = argument;
  ticker->intervalMs = intervalMs;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&ticker->wake, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&ticker->lock, nullptr);
  if (pthread_create(&ticker->thread, nullptr, tickerLoop, ticker) != 0) {
    pthread_cond_destroy(&ticker->wake);
    pthread_mutex_destroy(&ticker->lock);
    free(ticker);
    return nullptr;
  }
  return ticker;
}

void stopTicker(PlatformTicker* ticker) {
  if (!ticker) return;
  pthread_mutex_lock(&ticker->lock);
  ticker->stop = 1;
  pthread_cond_signal(&ticker->wake);
  pthread_mutex_unlock(&ticker->lock);
  pthread_join(ticker->thread, nullptr);
  pthread_cond_destroy(&ticker->wake);
  pthread_mutex_destroy(&ticker->lock);
  free(ticker);
}
