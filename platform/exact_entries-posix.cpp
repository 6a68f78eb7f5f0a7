// An exact mirror's entries on POSIX: links made as links, other names of one file,
// and the times of folders and links, each relative to a folder reached without
// following a link. A new entry is made under a name of its own beside its place and
// renamed into it, so that what stood there stays whole until the new one is.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_time-posix.h"
#include "platform/folders.h"
#include "platform/metadata.h"
#include "platform/tree_reach-posix.h"

namespace {
// The names tried for a new entry before it takes its place: short, so that any
// folder can hold them, and never over anything (link and symlink refuse an
// existing name). One a killed run left is a destination entry the source lacks.
constexpr int temporaryTries = 100;

void temporaryName(char* name, size_t size, int attempt) {
  snprintf(name, size, ".talven-new-%d", attempt);
}

// Renames the entry made as made into name, both in the folder fd: over a file or a
// link with replace, else only where nothing stands; never over a folder. The new
// entry is removed where it cannot take its place.
int placeMade(int fd, const char* made, const char* name, int replace) {
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!replace || S_ISDIR(info.st_mode)) {
      unlinkat(fd, made, 0);
      errno = S_ISDIR(info.st_mode) ? EISDIR : EEXIST;
      return folderRefused;
    }
  }
  if (renameat(fd, made, fd, name) == 0) return folderDone;
  int error = errno;
  unlinkat(fd, made, 0);
  errno = error;
  return folderRefused;
}
}  // namespace

int makeLinkIn(TreeFolders* folders, const char* path, const char* target, FileTime time,
               int replace) {
  int fd;
  const char* name;
  int reached = reachEntryIn(folders, path, &fd, &name);
  if (reached != folderDone) return reached;
  char made[32];
  int attempt = 0;
  for (; attempt < temporaryTries; ++attempt) {
    temporaryName(made, sizeof made, attempt);
    if (symlinkat(target, fd, made) == 0) break;
    if (errno != EEXIST) return folderRefused;
  }
  if (attempt == temporaryTries) return folderRefused;
  struct timespec times[2] = {toTimespec(time), toTimespec(time)};
  if (utimensat(fd, made, times, AT_SYMLINK_NOFOLLOW) != 0) {
    int error = errno;
    unlinkat(fd, made, 0);
    errno = error;
    return folderRefused;
  }
  return placeMade(fd, made, name, replace);
}

int makeHardLinkIn(TreeFolders* folders, const char* existingPath, const char* path, int replace) {
  int fd;
  const char* name;
  int reached = reachEntryIn(folders, existingPath, &fd, &name);
  if (reached != folderDone) return reached;
  // The record holds one folder at a time: the existing name's is kept apart.
  int existingFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (existingFd < 0) return folderRefused;
  char existingName[NAME_MAX + 1];
  snprintf(existingName, sizeof existingName, "%s", name);
  reached = reachEntryIn(folders, path, &fd, &name);
  int result = reached;
  if (reached == folderDone) {
    char made[32];
    result = folderRefused;
    for (int attempt = 0; attempt < temporaryTries; ++attempt) {
      temporaryName(made, sizeof made, attempt);
      // No flag: the existing name itself, never what a link there leads to.
      if (linkat(existingFd, existingName, fd, made, 0) == 0) {
        result = placeMade(fd, made, name, replace);
        break;
      }
      if (errno != EEXIST) break;
    }
  }
  int error = errno;
  close(existingFd);
  errno = error;
  return result;
}

int setEntryTimeIn(TreeFolders* folders, const char* path, FileTime time) {
  struct timespec times[2] = {toTimespec(time), toTimespec(time)};
  int fd;
  if (strcmp(path, folders->root) == 0) {
    int reached = reachRootIn(folders, &fd);
    if (reached != folderDone) return reached;
    // The held descriptor may only find names: the folder itself is opened through it.
    int root = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return folderRefused;
    int set = futimens(root, times);
    int error = errno;
    close(root);
    errno = error;
    return set == 0 ? folderDone : folderRefused;
  }
  const char* name;
  int reached = reachEntryIn(folders, path, &fd, &name);
  if (reached != folderDone) return reached;
  if (utimensat(fd, name, times, AT_SYMLINK_NOFOLLOW) == 0) return folderDone;
  return errno == ENOENT ? folderMissing : folderRefused;
}

int entryKindIn(TreeFolders* folders, const char* path, int* kind, FileIdentity* identity) {
  int fd;
  const char* name;
  int reached = reachEntryIn(folders, path, &fd, &name);
  if (reached != folderDone) return reached;
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? folderMissing : folderRefused;
  *kind = S_ISDIR(info.st_mode)   ? entryFolder
          : S_ISLNK(info.st_mode) ? entryLink
          : S_ISREG(info.st_mode) ? entryFile
                                  : entryOther;
  *identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return folderDone;
}

int reachMetadataEntryIn(TreeFolders* folders, const char* path, FolderHandle* folder,
                         const char** name) {
  int fd = -1;
  int reached = folderRefused;
  if (strcmp(path, folders->root) == 0) {
    reached = reachRootIn(folders, &fd);
    *name = ".";
  } else {
    reached = reachEntryIn(folders, path, &fd, name);
  }
  *folder = fd;
  return reached;
}
