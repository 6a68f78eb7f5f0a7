#include "run/run_lock.h"

#include "platform/platform.h"
#include "run/settings.h"

void (*destinationLockedHook)() = nullptr;

int lockRunDestination() {
  int result = lockDestination(destinationRoot);
  if (result == destinationBusy) {
    consolePrintf("Another run is mirroring into the destination folder [%s] !\n", destinationRoot);
    return 1;
  }
  if (result == destinationLocked && destinationLockedHook) destinationLockedHook();
  return 0;
}

void releaseRunDestination() {
  unlockDestination();
}
