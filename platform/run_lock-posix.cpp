// POSIX: the lock that keeps a second run off a destination. Two locks make it:
// a flock on the folder itself, which every name of it shares (links, a second
// mount), and, where the system has them (Linux), an abstract socket named after
// the folder's resolved path, which needs no folder: it also guards a destination
// that the run's copies are still to create.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {
// The open descriptors that hold the two locks; each lives as long as its descriptor.
int lockedFolder = -1;
int namedLock = -1;

// FNV-1a over the resolved path: the name of its socket.
uint64_t pathHash(const char* path) {
  uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(path); *at; ++at)
    hash = (hash ^ *at) * 1099511628211ULL;
  return hash;
}

// Binds the socket named after path's resolved form; a DestinationLockResult.
int lockName(const char* path) {
#if defined(__linux__)
  char withSeparator[PATH_MAX + 1];
  char resolved[PATH_MAX];
  if (snprintf(withSeparator, sizeof withSeparator, "%s/", path) >=
          static_cast<int>(sizeof withSeparator) ||
      resolveFullPath(withSeparator, resolved, sizeof resolved) != 0)
    return destinationNotLocked;
  size_t length = strlen(resolved);
  while (length > 1 && resolved[length - 1] == '/') resolved[--length] = '\0';
  int named = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (named < 0) return destinationNotLocked;
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  // A leading zero byte puts the name in the abstract namespace: no file is made.
  int nameLength =
      snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "talven-destination-%016llx",
               static_cast<unsigned long long>(pathHash(resolved)));
  socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + nameLength);
  if (bind(named, reinterpret_cast<struct sockaddr*>(&address), size) == 0) {
    namedLock = named;
    return destinationLocked;
  }
  int reason = errno;
  close(named);
  return reason == EADDRINUSE ? destinationBusy : destinationNotLocked;
#else
  (void)path;
  return destinationNotLocked;
#endif
}

// Takes the flock on the folder itself; a DestinationLockResult.
int lockFolder(const char* path) {
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
}  // namespace

int lockDestination(const char* path) {
  unlockDestination();
  int byName = lockName(path);
  int byFolder = byName == destinationBusy ? destinationNotLocked : lockFolder(path);
  if (byName == destinationBusy || byFolder == destinationBusy) {
    unlockDestination();
    return destinationBusy;
  }
  if (byFolder == destinationMissing) return byName == destinationLocked ? byName : byFolder;
  return byFolder == destinationLocked || byName == destinationLocked ? destinationLocked
                                                                      : destinationNotLocked;
}

void unlockDestination() {
  if (lockedFolder >= 0) close(lockedFolder);
  if (namedLock >= 0) close(namedLock);
  lockedFolder = -1;
  namedLock = -1;
}
