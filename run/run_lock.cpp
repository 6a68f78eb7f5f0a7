#include "run/run_lock.h"

#include "base/settings.h"
#include "platform/platform.h"
#include "run/seams.h"

int lockRunDestination(const RunSettings& settings, const RunSeams* seams) {
  int result = lockDestination(settings.destinationRoot);
  if (result == destinationBusy) {
    consolePrintf("Another run is mirroring into the destination folder [%s] !\n",
                  settings.destinationRoot);
    return 1;
  }
  if (result == destinationLocked && seams->destinationLocked)
    seams->destinationLocked(seams->context);
  return 0;
}

void releaseRunDestination() {
  unlockDestination();
}
