#include "run/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/platform.h"
#include "run/settings.h"

namespace {
// Enough for a run to stop in order: its lines, its last syncs and renames.
constexpr size_t reserveBytes = 4u << 20;
std::atomic<void*> reserve{nullptr};
std::atomic<int> ranOut{0};
}  // namespace

void onMemoryExhausted() {
  void* spare = reserve.exchange(nullptr);
  if (spare) {
    free(spare);
    ranOut = 1;
    setInterruptRequested(1);
    return;
  }
  // Out again before the run could stop: it ends here.
  consolePrintf("Memory allocation failure !\n");
  fflush(stdout);
  exit(exitOutOfMemory);
}

void beginMemoryWatch() {
  ranOut = 0;
  if (!reserve.load()) reserve = malloc(reserveBytes);
  std::set_new_handler(onMemoryExhausted);
}

int memoryRanOut() {
  return ranOut.load();
}
