#include "run/run_lock.h"

#include <cstring>

#include "platform/platform.h"
#include "run/settings.h"

void (*destinationLockedHook)() = nullptr;

namespace {
// Length of the outermost folder of destinationRoot that this run made, or 0 when the
// run made no folder of it or did not make the root itself.
size_t madeFrom = 0;

// Makes destinationRoot and its missing parents, outermost first, and notes from
// where the chain is this run's own. Another run making the root at the same moment
// leaves the chain to that run.
void makeDestinationRoot() {
  char prefix[pathBufferSize];
  size_t length = strlen(destinationRoot);
  memcpy(prefix, destinationRoot, length + 1);
  size_t firstMade = 0;
  for (size_t at = 1; at < length; ++at) {
    if (!isPathSeparator(prefix[at]) || isPathSeparator(prefix[at - 1])) continue;
    prefix[at] = '\0';
    if (makeDirectory(prefix) == 0 && firstMade == 0) firstMade = at;
    prefix[at] = destinationRoot[at];
  }
  if (makeDirectory(destinationRoot) != 0) return;
  if (verbose) consolePrintf("Creating folder [%s]\n", destinationRoot);
  madeFrom = firstMade ? firstMade : length;
}

// Removes the root and the parents this run made for it, innermost first, as far as
// each is empty.
void removeMadeRoot() {
  char prefix[pathBufferSize];
  size_t length = strlen(destinationRoot);
  memcpy(prefix, destinationRoot, length + 1);
  for (size_t end = length; end >= madeFrom; --end) {
    if (end < length && !isPathSeparator(prefix[end])) continue;
    prefix[end] = '\0';
    if (removeEmptyFolder(prefix) != 0) return;
  }
}
}  // namespace

int lockRunDestination() {
  madeFrom = 0;
  int result = lockDestination(destinationRoot);
  if (result == destinationMissing && !previewOnly) {
    makeDestinationRoot();
    result = lockDestination(destinationRoot);
  }
  if (result == destinationBusy) {
    consolePrintf("Another run is mirroring into the destination folder [%s] !\n", destinationRoot);
    // A root made here a moment ago is the other run's destination now.
    madeFrom = 0;
    return 1;
  }
  if (result == destinationLocked && destinationLockedHook) destinationLockedHook();
  return 0;
}

void releaseRunDestination(int status) {
  unlockDestination();
  if (madeFrom &&
      (status == exitStopped || status == exitOutOfMemory || status == interruptedExitStatus))
    removeMadeRoot();
  madeFrom = 0;
}
