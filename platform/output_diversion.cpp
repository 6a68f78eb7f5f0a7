// The per-thread diversion of console, error and log text, and where console text
// goes while standard output carries JSON. Nothing here depends on the system.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {
thread_local const OutputDiversion* diversion = nullptr;
// Read by every thread that prints; set before the run's threads start.
std::atomic<int> jsonOutput{0};
}  // namespace

int jsonOutputOn() {
  return jsonOutput.load(std::memory_order_relaxed);
}

void rememberJsonOutput(int on) {
  jsonOutput.store(on ? 1 : 0);
}

void divertThreadOutput(const OutputDiversion* to) {
  diversion = to;
}

const OutputDiversion* threadOutputDiversion() {
  return diversion;
}

int divertFormatted(const OutputDiversion* to, int stream, const char* format, va_list arguments) {
  char small[1024];
  va_list again;
  va_copy(again, arguments);
  int length = vsnprintf(small, sizeof small, format, arguments);
  if (length < 0) {
    va_end(again);
    return length;
  }
  if (static_cast<size_t>(length) < sizeof small) {
    va_end(again);
    to->take(to->sink, stream, small, static_cast<size_t>(length));
    return length;
  }
  char* large = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (!large) {
    va_end(again);
    return -1;
  }
  vsnprintf(large, static_cast<size_t>(length) + 1, format, again);
  va_end(again);
  to->take(to->sink, stream, large, static_cast<size_t>(length));
  free(large);
  return length;
}
