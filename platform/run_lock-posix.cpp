// POSIX: the lock that keeps a second run off a destination. Two locks make it:
// a flock on the folder itself, which every name of it shares (links, a second
// mount), and, where the system has them (Linux), abstract sockets named after the
// destination's place, which need no folder: they also guard a destination that
// the run's copies are still to create. A place is an existing folder's identity
// and the names below it down to the destination. A run holds the socket of its
// deepest existing folder's place and looks, by binding each for a moment, whether
// another run holds the place of a folder further up: two runs whose paths pass
// through one folder under any name (a second mount of a parent) meet at the
// deepest folder that existed when the first of them started. Held, the lock takes
// one descriptor, as a lock by path did, out of the few a run may have.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {
// Folders on the way up that name a place: a run that made more folders than this
// below the deepest one that existed before it is not met by name.
constexpr int mostPlaces = 64;

// The open descriptors that hold the locks; each lives as long as its descriptor.
int lockedFolder = -1;
int namedLock = -1;

// FNV-1a over a folder's identity and the names below it: the name of its socket.
uint64_t placeHash(const struct stat& folder, const char* below) {
  uint64_t hash = 14695981039346656037ULL;
  uint64_t identity[2] = {static_cast<uint64_t>(folder.st_dev),
                          static_cast<uint64_t>(folder.st_ino)};
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(identity);
  for (size_t at = 0; at < sizeof identity; ++at) hash = (hash ^ bytes[at]) * 1099511628211ULL;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(below); *at; ++at)
    hash = (hash ^ *at) * 1099511628211ULL;
  return hash;
}

#if defined(__linux__)
// Binds a socket to the name of one place: its descriptor, or -1 with errno set.
int bindOnce(uint64_t hash) {
  int named = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (named < 0) return -1;
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  // A leading zero byte puts the name in the abstract namespace: no file is made.
  int nameLength = snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                            "talven-destination-%016llx", static_cast<unsigned long long>(hash));
  socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + nameLength);
  if (bind(named, reinterpret_cast<struct sockaddr*>(&address), size) == 0) return named;
  int reason = errno;
  close(named);
  errno = reason;
  return -1;
}

// bindOnce, tried again for a moment where the name is taken: the socket of an
// earlier run in the same process was seen to keep its name for a few milliseconds
// after it was closed, while a run that holds the name keeps it for its whole length.
int bindPlace(uint64_t hash) {
  for (int attempt = 0;; ++attempt) {
    int named = bindOnce(hash);
    if (named >= 0 || errno != EADDRINUSE || attempt == 20) return named;
    usleep(5000);
  }
}

// The hashes of the places of the resolved path, from the destination's deepest
// existing folder up; their number.
int placesOf(char* resolved, uint64_t* hashes) {
  size_t length = strlen(resolved);
  while (length > 1 && resolved[length - 1] == '/') resolved[--length] = '\0';
  // resolved holds the folder, below the names under it down to the destination.
  char below[PATH_MAX + 1] = "";
  int count = 0;
  for (size_t end = length; end > 0 && count < mostPlaces;) {
    struct stat folder;
    if (stat(resolved, &folder) == 0 && S_ISDIR(folder.st_mode))
      hashes[count++] = placeHash(folder, below);
    size_t cut = end;
    while (cut > 0 && resolved[cut - 1] != '/') --cut;
    if (cut == 0 || end == 1) break;
    // below becomes /name + below; resolved loses its last name (the root keeps /).
    size_t nameLength = end - cut;
    memmove(below + nameLength + 1, below, strlen(below) + 1);
    below[0] = '/';
    memcpy(below + 1, resolved + cut, nameLength);
    end = cut > 1 ? cut - 1 : 1;
    resolved[end] = '\0';
  }
  return count;
}
#endif

// Holds the socket of the deepest place of path's resolved form and looks whether
// another run holds one further up; a DestinationLockResult. Bound first, looked
// after: of two runs that start at once, at least one sees the other.
int lockName(const char* path) {
#if defined(__linux__)
  char withSeparator[PATH_MAX + 1];
  char resolved[PATH_MAX];
  if (snprintf(withSeparator, sizeof withSeparator, "%s/", path) >=
          static_cast<int>(sizeof withSeparator) ||
      resolveFullPath(withSeparator, resolved, sizeof resolved) != 0)
    return destinationNotLocked;
  uint64_t hashes[mostPlaces];
  int count = placesOf(resolved, hashes);
  if (count == 0) return destinationNotLocked;
  namedLock = bindPlace(hashes[0]);
  if (namedLock < 0) return errno == EADDRINUSE ? destinationBusy : destinationNotLocked;
  for (int i = 1; i < count; ++i) {
    int look = bindPlace(hashes[i]);
    if (look >= 0)
      close(look);
    else if (errno == EADDRINUSE)
      return destinationBusy;
  }
  return destinationLocked;
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
