#include "run/run_lock.h"

#include "platform/platform.h"
#include "run/seams.h"
#include "run/settings.h"

int lockRunDestination(const RunSeams* seams) {
  int result = lockDestination(destinationRoot);
  if (result == destinationBusy) {
    consolePrintf("Another run is mirroring into the destination folder [%s] !\n", destinationRoot);
    return 1;
  }
  if (result == destinationLocked && seams->destinationLocked)
    seams->destinationLocked(seams->context);
  return 0;
}

void releaseRunDestination() {
  unlockDestination();
}
