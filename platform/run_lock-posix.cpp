// POSIX: the lock that keeps a second run off a destination, and the removal of a
// destination root that a stopped run made itself.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {
// The open descriptor of the locked destination root; the lock lives as long as it.
int lockedFolder = -1;
}  // namespace

int lockDestination(const char* path) {
  unlockDestination();
  // Read-only, without creating anything: the lock is on the folder's own open
  // description, which the system closes, and so unlocks, when the process ends.
  int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return errno == ENOENT ? destinationMissing : destinationNotLocked;
  if (flock(folder, LOCK_EX | LOCK_NB) == 0) {
    lockedFolder = folder;
    return destinationLocked;
  }
  int reason = errno;
  close(folder);
  // EWOULDBLOCK is another holder; anything else (a file system without flock) is
  // no lock at all, which must not stop a run that the system cannot guard.
  return reason == EWOULDBLOCK ? destinationBusy : destinationNotLocked;
}

void unlockDestination() {
  if (lockedFolder < 0) return;
  close(lockedFolder);
  lockedFolder = -1;
}

int removeEmptyFolder(const char* path) {
  return rmdir(path) == 0 ? 0 : 1;
}
