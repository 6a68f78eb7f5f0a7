// The net under "nothing is changed by a whole path once the run has begun": the
// operations that still take a whole path serve the start of a run, and a test build
// stops the process the moment one is called later, so that a new caller is found
// by the tests, not by a user whose folder was swapped for a link.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {
std::atomic<int> begun{0};
}  // namespace

void beginHeldChanges() {
  begun = 1;
}

void endHeldChanges() {
  begun = 0;
}

int heldChangesBegun() {
  return begun.load();
}

void checkWholePathChange(const char* caller) {
#if defined(TALVEN_GUARD_WHOLE_PATHS)
  if (!begun.load()) return;
  fprintf(stderr, "talven: %s took a whole path to change the file system after the run began\n",
          caller);
  fflush(stderr);
  abort();
#else
  (void)caller;
#endif
}
