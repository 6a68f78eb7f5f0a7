#include "base/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/settings.h"
#include "platform/platform.h"

namespace {
// Enough for a run to stop in order: its lines, its last syncs and renames.
constexpr size_t reserveBytes = 4u << 20;
std::atomic<void*> reserve{nullptr};
std::atomic<int> ranOut{memoryHeld};

void exhausted(int failure) {
  void* spare = reserve.exchange(nullptr);
  if (spare) {
    free(spare);
    int none = memoryHeld;
    ranOut.compare_exchange_strong(none, failure);
    setInterruptRequested(1);
    return;
  }
  // Out again before the run could stop: it ends here.
  consolePrintf("%s", memoryFailureLine(ranOut.load() ? ranOut.load() : failure));
  fflush(stdout);
  exit(exitOutOfMemory);
}
}  // namespace

void onMemoryExhausted() {
  exhausted(memoryForAnything);
}

void onTableExhausted() {
  exhausted(memoryForTable);
}

void beginMemoryWatch() {
  ranOut = memoryHeld;
  if (!reserve.load()) reserve = malloc(reserveBytes);
  std::set_new_handler(onMemoryExhausted);
}

int memoryRanOut() {
  return ranOut.load();
}

const char* memoryFailureLine(int failure) {
  return failure == memoryForTable ? "Error reallocating memory resource !\n"
                                   : "Memory allocation failure !\n";
}
