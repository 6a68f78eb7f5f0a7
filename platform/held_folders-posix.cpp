// POSIX bodies of the folders a run holds from its start: each opened once by the
// path the user gave, and everything below reached through its descriptor.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folders.h"

namespace {
// Held only to be named in the calls relative to it: O_PATH needs no right to list
// it, so a folder that may be written but not read is held too.
#if defined(O_PATH)
constexpr int heldAccess = O_PATH;
#else
constexpr int heldAccess = O_RDONLY;
#endif
constexpr int heldOpenFlags = heldAccess | O_DIRECTORY | O_CLOEXEC;

// Opens the folder name in the folder fd, never through a link.
int openBelow(int fd, const char* name) {
  return openat(fd, name, heldOpenFlags | O_NOFOLLOW);
}

// The part of path held: the longest prefix ending before a separator (or the whole
// path) that opens as a folder, where only missing folders lie after it.
int holdNearest(HeldFolder* held) {
  const char* path = held->path;
  size_t length = strlen(path);
  char* prefix = static_cast<char*>(malloc(length + 1));
  if (!prefix) return folderRefused;
  memcpy(prefix, path, length + 1);
  int result = folderRefused;
  for (size_t end = length; end > 0; --end) {
    if (end < length && path[end] != '/') continue;
    prefix[end] = '\0';
    int fd = open(prefix, heldOpenFlags);
    if (fd >= 0) {
      held->handle = fd;
      held->heldLength = end;
      result = end == length ? folderDone : folderMissing;
      break;
    }
    // Only a missing folder is looked for further up: anything else is refused.
    if (errno != ENOENT) break;
  }
  // Nothing of the path exists: the folder it starts from (the root, or the current one).
  if (held->handle == noFolder && errno == ENOENT) {
    int fd = open(path[0] == '/' ? "/" : ".", heldOpenFlags);
    if (fd >= 0) {
      held->handle = fd;
      held->heldLength = 0;
      result = folderMissing;
    }
  }
  free(prefix);
  return result;
}

// The identity of the folder fd stands for; 0 when read.
int identityOf(int fd, FileIdentity* identity) {
  struct stat info;
  if (fstat(fd, &info) != 0) return 1;
  *identity = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return 0;
}
}  // namespace

int holdFolder(HeldFolder* held, const char* path) {
  *held = HeldFolder{noFolder, strdup(path), 0};
  if (!held->path) return folderRefused;
  return holdNearest(held);
}

int makeHeldFolder(HeldFolder* held) {
  checkWholePathChange(__func__);
  if (held->handle == noFolder) return folderRefused;
  int fd = static_cast<int>(held->handle);
  const char* rest = held->path + held->heldLength;
  while (*rest != '\0') {
    while (*rest == '/') ++rest;
    size_t length = strcspn(rest, "/");
    if (length == 0) break;
    char name[256];
    if (length >= sizeof name) {
      errno = ENAMETOOLONG;
      return folderRefused;
    }
    memcpy(name, rest, length);
    name[length] = '\0';
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
      errno = EINVAL;
      return folderRefused;
    }
    if (mkdirat(fd, name, 0777) != 0 && errno != EEXIST) return folderRefused;
    int next = openBelow(fd, name);
    if (next < 0) return folderRefused;
    close(fd);
    fd = next;
    held->handle = fd;
    rest += length;
    held->heldLength = static_cast<size_t>(rest - held->path);
  }
  held->heldLength = strlen(held->path);
  return folderDone;
}

int makeNewHeldFolder(const HeldFolder* parent, const char* name, HeldFolder* made) {
  checkWholePathChange(__func__);
  *made = HeldFolder{noFolder, nullptr, 0};
  if (parent->handle == noFolder || parent->heldLength != strlen(parent->path))
    return folderRefused;
  int fd = static_cast<int>(parent->handle);
  if (mkdirat(fd, name, 0777) != 0) return folderRefused;
  size_t length = strlen(parent->path) + 1 + strlen(name);
  made->path = static_cast<char*>(malloc(length + 1));
  int held = made->path ? openBelow(fd, name) : -1;
  if (held < 0) {
    int error = made->path ? errno : ENOMEM;
    unlinkat(fd, name, AT_REMOVEDIR);
    releaseHeldFolder(made);
    errno = error;
    return folderRefused;
  }
  snprintf(made->path, length + 1, "%s/%s", parent->path, name);
  made->handle = held;
  made->heldLength = length;
  return folderDone;
}

int removeEmptyHeldFolder(const HeldFolder* parent, const char* name) {
  checkWholePathChange(__func__);
  if (parent->handle == noFolder) return 1;
  return unlinkat(static_cast<int>(parent->handle), name, AT_REMOVEDIR) == 0 ? 0 : 1;
}

void releaseHeldFolder(HeldFolder* held) {
  if (held->handle != noFolder) close(static_cast<int>(held->handle));
  free(held->path);
  *held = HeldFolder{noFolder, nullptr, 0};
}

int heldFolderIdentity(const HeldFolder* held, FileIdentity* identity) {
  return held->handle == noFolder ? 1 : identityOf(static_cast<int>(held->handle), identity);
}

int heldFolderLiesWithin(const HeldFolder* held, const FileIdentity& outer) {
  if (held->handle == noFolder) return 0;
  int fd = fcntl(static_cast<int>(held->handle), F_DUPFD_CLOEXEC, 0);
  int within = 0;
  FileIdentity identity;
  // Up through "..", never through a name: the folders above are those it lies in,
  // whatever names lead to it. The root of the file system is its own parent.
  for (int level = 0; fd >= 0 && level < 4096 && identityOf(fd, &identity) == 0; ++level) {
    if (sameFileIdentity(identity, outer)) {
      within = 1;
      break;
    }
    int parent = openat(fd, "..", heldOpenFlags);
    FileIdentity above;
    bool top = parent < 0 || identityOf(parent, &above) != 0 || sameFileIdentity(above, identity);
    close(fd);
    fd = parent;
    if (top) break;
  }
  if (fd >= 0) close(fd);
  return within;
}

FILE* openLogIn(const HeldFolder* folder, const char* name) {
  checkWholePathChange(__func__);
  if (folder->handle == noFolder || folder->heldLength != strlen(folder->path)) {
    errno = ENOENT;
    return nullptr;
  }
  // For appending only: every write lands whole at the file's end, whatever other
  // processes append (O_APPEND).
  int fd = openat(static_cast<int>(folder->handle), name,
                  O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a+");
  if (!file) close(fd);
  return file;
}

int tryMoveBetween(const HeldFolder* from, const HeldFolder* into) {
  checkWholePathChange(__func__);
  if (from->handle == noFolder || into->handle == noFolder) return EBADF;
  int fromFd = static_cast<int>(from->handle);
  int intoFd = static_cast<int>(into->handle);
  char name[64];
  snprintf(name, sizeof name, ".talven-backup-probe-%ld", static_cast<long>(getpid()));
  // Never a file that stands there already: it may be the user's.
  int file = openat(fromFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (file < 0) return errno;
  close(file);
  int moved = renameat(fromFd, name, intoFd, name);
  int failure = moved == 0 ? 0 : errno;
  if (unlinkat(moved == 0 ? intoFd : fromFd, name, 0) != 0 && failure == 0) failure = errno;
  return failure;
}
