// POSIX bodies of the changes to the destination tree: every call is relative to a
// descriptor of its folder, and every folder is opened with O_NOFOLLOW from the one
// above it, so that no link on the way is ever followed.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_time-posix.h"
#include "platform/folders.h"
#include "platform/source_file-posix.h"
#include "platform/tree_reach-posix.h"

namespace {
// A folder is opened only to be named in the calls relative to it: O_PATH needs no
// right to list it, so a folder that may be written but not read is reached too.
#if defined(O_PATH)
constexpr int folderAccess = O_PATH;
#else
constexpr int folderAccess = O_RDONLY;
#endif
constexpr int rootOpenFlags = folderAccess | O_DIRECTORY | O_CLOEXEC;
constexpr int folderOpenFlags = rootOpenFlags | O_NOFOLLOW;
// Longest name of one entry, terminator excluded.
constexpr size_t longestName = 255;

void forgetFolder(TreeFolders* folders) {
  if (folders->folderHandle != noFolder && folders->folderHandle != folders->rootHandle)
    close(static_cast<int>(folders->folderHandle));
  folders->folderHandle = noFolder;
  folders->folderLength = 0;
  folders->folderVolumeKnown = 0;
}

// The twin in the source of the folders being made, whose relative path ends it.
struct SourceTwin {
  const char* path;  ///< null: new folders take the default bits
  size_t length;
};

// The bits of the folder made for the first end bytes of the relative path of
// length bytes: those of its twin, which ends length - end bytes earlier.
unsigned twinMode(const SourceTwin& twin, size_t end, size_t length) {
  if (!twin.path || twin.length < length) return folderModeOf(nullptr);
  char* prefix = strndup(twin.path, twin.length - (length - end));
  unsigned mode = folderModeOf(prefix);
  free(prefix);
  return mode;
}

// Opens the folder named by component (length bytes) inside fd, making it first when
// create is set and it is missing. Returns the new descriptor or -1 with errno set.
int openComponent(int fd, const char* component, size_t length, int create, const SourceTwin& twin,
                  size_t end, size_t total) {
  char name[longestName + 1];
  if (length > longestName) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(name, component, length);
  name[length] = '\0';
  // The listing never gives these; a path holding one could climb out of the tree.
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
    errno = EINVAL;
    return -1;
  }
  int next = openat(fd, name, folderOpenFlags);
  if (next < 0 && errno == ENOENT && create) {
    mode_t mode = static_cast<mode_t>(twinMode(twin, end, total));
    if (mkdirat(fd, name, mode) != 0 && errno != EEXIST) return -1;
    next = openat(fd, name, folderOpenFlags);
  }
  return next;
}

// The root is reached from the folder the run holds for it: that very descriptor
// where the root existed at the start (each copy worker has its own table, and so
// its own duplicate of it), else the names below the held folder, one level at a
// time and never through a link, made when create is set.
int openRoot(TreeFolders* folders, int create) {
  if (folders->rootHandle != noFolder) return folderDone;
  if (folders->heldRoot == noFolder) return folderMissing;
  const char* rest = folders->root + folders->heldLength;
  while (*rest == '/') ++rest;
  if (*rest == '\0') {
    folders->rootHandle = folders->heldRoot;
    return folderDone;
  }
  int fd = static_cast<int>(folders->heldRoot);
  while (*rest != '\0') {
    while (*rest == '/') ++rest;
    size_t length = strcspn(rest, "/");
    if (length == 0) break;
    int next = openComponent(fd, rest, length, create, SourceTwin{nullptr, 0}, 0, 0);
    int error = errno;
    if (fd != folders->heldRoot) close(fd);
    if (next < 0) {
      errno = error;
      return error == ENOENT ? folderMissing : folderRefused;
    }
    fd = next;
    rest += length;
  }
  folders->rootHandle = fd;
  return folderDone;
}

// Reaches the folder relative (length bytes) below the root, one level at a time, and
// keeps it as the folder reached last. Returns a FolderResult.
int reachFolder(TreeFolders* folders, const char* relative, size_t length, int create,
                const SourceTwin& twin) {
  if (folders->folderHandle != noFolder && length == folders->folderLength &&
      memcmp(relative, folders->folder, length) == 0)
    return folderDone;
  forgetFolder(folders);
  int result = openRoot(folders, create);
  if (result != folderDone) return result;
  int fd = static_cast<int>(folders->rootHandle);
  for (size_t at = 0; at < length;) {
    size_t end = at;
    while (end < length && relative[end] != '/') ++end;
    if (end > at) {
      int next = openComponent(fd, relative + at, end - at, create, twin, end, length);
      int error = errno;
      if (fd != folders->rootHandle) close(fd);
      if (next < 0) {
        errno = error;  // the reason, for whoever reports the failure
        return error == ENOENT ? folderMissing : folderRefused;
      }
      fd = next;
    }
    at = end + 1;
  }
  memcpy(folders->folder, relative, length);
  folders->folderLength = length;
  folders->folderHandle = fd;
  return folderDone;
}

// The part of path below the root, separators after the root passed over; null when
// path does not lie below it.
const char* belowRoot(const TreeFolders* folders, const char* path) {
  size_t length = folders->rootLength;
  if (strncmp(path, folders->root, length) != 0 || path[length] != '/') return nullptr;
  while (path[length] == '/') ++length;
  return path + length;
}

// Reaches the folder of the entry path and sets name to the entry's name in it.
// Returns a FolderResult and, through fd, the folder's descriptor.
int reachEntry(TreeFolders* folders, const char* path, int* fd, const char** name) {
  const char* relative = belowRoot(folders, path);
  if (!relative || *relative == '\0') return folderRefused;
  const char* last = strrchr(relative, '/');
  *name = last ? last + 1 : relative;
  if (**name == '\0') return folderRefused;
  size_t length = last ? static_cast<size_t>(last - relative) : 0;
  int result = reachFolder(folders, relative, length, 0, SourceTwin{nullptr, 0});
  if (result == folderDone) *fd = static_cast<int>(folders->folderHandle);
  return result;
}

}  // namespace

int reachEntryIn(TreeFolders* folders, const char* path, int* fd, const char** name) {
  return reachEntry(folders, path, fd, name);
}

int reachRootIn(TreeFolders* folders, int* fd) {
  int result = openRoot(folders, 0);
  if (result == folderDone) *fd = static_cast<int>(folders->rootHandle);
  return result;
}

unsigned folderModeOf(const char* sourceFolder) {
  struct stat info;
  if (!sourceFolder || stat(sourceFolder, &info) != 0 || !S_ISDIR(info.st_mode)) return 0777;
  return (static_cast<unsigned>(info.st_mode) & 0777u) | 0700u;
}

int openTreeFolders(TreeFolders* folders, const HeldFolder* root) {
  size_t length = strlen(root->path);
  *folders = TreeFolders{};
  folders->rootLength = length;
  folders->heldRoot = root->handle;
  folders->heldLength = root->heldLength;
  folders->rootHandle = folders->folderHandle = noFolder;
  folders->root = static_cast<char*>(malloc(length + 1));
  folders->folder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  if (!folders->root || !folders->folder) {
    closeTreeFolders(folders);
    return 1;
  }
  memcpy(folders->root, root->path, length + 1);
  return 0;
}

void closeTreeFolders(TreeFolders* folders) {
  forgetFolder(folders);
  // The held root is the run's: only a root made below it is this record's own.
  if (folders->rootHandle != noFolder && folders->rootHandle != folders->heldRoot)
    close(static_cast<int>(folders->rootHandle));
  folders->rootHandle = noFolder;
  free(folders->root);
  free(folders->folder);
  folders->root = folders->folder = nullptr;
}

namespace {
// Reaches the folder folderPath, making what is missing on the way when create is set.
int reachFolderPath(TreeFolders* folders, const char* folderPath, int create,
                    const char* sourceFolder) {
  if (strcmp(folderPath, folders->root) == 0) return openRoot(folders, create);
  const char* relative = belowRoot(folders, folderPath);
  if (!relative) return folderRefused;
  size_t length = strlen(relative);
  size_t whole = length;
  while (length > 0 && relative[length - 1] == '/') --length;
  SourceTwin twin = {nullptr, 0};
  size_t sourceLength = sourceFolder ? strlen(sourceFolder) : 0;
  // The twin must end in the same relative path, else its folders are not twins.
  if (sourceFolder && sourceLength >= whole &&
      memcmp(sourceFolder + sourceLength - whole, relative, whole) == 0)
    twin = SourceTwin{sourceFolder, sourceLength - (whole - length)};
  return reachFolder(folders, relative, length, create, twin);
}
}  // namespace

int makeFoldersIn(TreeFolders* folders, const char* folderPath, const char* sourceFolder) {
  return reachFolderPath(folders, folderPath, 1, sourceFolder);
}

int findFolderIn(TreeFolders* folders, const char* folderPath) {
  return reachFolderPath(folders, folderPath, 0, nullptr);
}

int removeFolderLinkIn(TreeFolders* folders, const char* folderPath) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, folderPath, &fd, &name);
  if (reached == folderMissing) return noFolderLink;
  if (reached != folderDone) return folderLinkKept;
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(info.st_mode))
    return noFolderLink;
  return unlinkat(fd, name, 0) == 0 ? folderLinkRemoved : folderLinkKept;
}

int checkReplaceableIn(TreeFolders* folders, const char* path) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, path, &fd, &name);
  if (reached == folderMissing) return replaceableFree;
  if (reached != folderDone) return replaceableRefused;
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? replaceableFree : replaceableRefused;
  if (S_ISLNK(info.st_mode))
    return unlinkat(fd, name, 0) == 0 ? replaceableFree : replaceableLinkKept;
  if (!S_ISREG(info.st_mode)) {
    // Told as the reason of the refusal.
    errno = S_ISDIR(info.st_mode) ? EISDIR : EEXIST;
    return replaceableRefused;
  }
  return faccessat(fd, name, W_OK, AT_EACCESS) == 0 ? replaceableFile : replaceableRefused;
}

FileHandle createNewFileIn(TreeFolders* folders, const char* path, unsigned mode) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, path, &fd, &name);
  if (reached != folderDone) {
    if (reached == folderMissing) errno = ENOENT;
    return noFile;
  }
  // O_EXCL with O_CREAT never follows a link and never opens what stands there:
  // the file is new, regular and the copy's own.
  int file = openat(fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
  return file < 0 ? noFile : file;
}

int removeEmptyFolderIn(TreeFolders* folders, const char* path) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, path, &fd, &name);
  if (reached != folderDone) return reached;
  // Takes neither a link nor a folder that holds anything.
  if (unlinkat(fd, name, AT_REMOVEDIR) == 0) return folderDone;
  return errno == ENOENT ? folderMissing : folderRefused;
}

int moveFileIn(TreeFolders* folders, const char* from, const char* to, int replace) {
  const char* fromName = strrchr(from, '/');
  const char* toName = strrchr(to, '/');
  // Both names in one folder: the paths agree up to their names.
  if (!fromName || !toName || fromName - from != toName - to ||
      strncmp(from, to, static_cast<size_t>(fromName - from)) != 0)
    return 1;
  int fd;
  const char* name;
  if (reachEntry(folders, to, &fd, &name) != folderDone) return 1;
  if (replace) return renameat(fd, fromName + 1, fd, name) == 0 ? 0 : 1;
#ifdef RENAME_NOREPLACE
  return renameat2(fd, fromName + 1, fd, name, RENAME_NOREPLACE) == 0 ? 0 : 1;
#else
  return 1;
#endif
}

namespace {
// Reaches the folder that is to hold backupPath, making what is missing on the way,
// and gives its descriptor and the entry's name in it.
int reachBackupEntry(TreeFolders* backup, const char* backupPath, int* fd, const char** name) {
  const char* last = strrchr(backupPath, '/');
  if (!last) return folderRefused;
  size_t length = static_cast<size_t>(last - backupPath);
  char* folder = static_cast<char*>(malloc(length + 1));
  if (!folder) return folderRefused;
  memcpy(folder, backupPath, length);
  folder[length] = '\0';
  int made = makeFoldersIn(backup, folder, nullptr);
  free(folder);
  if (made != folderDone) return folderRefused;
  return reachEntry(backup, backupPath, fd, name) == folderDone ? folderDone : folderRefused;
}
}  // namespace

int moveToBackupIn(TreeFolders* folders, const char* path, TreeFolders* backup,
                   const char* backupPath) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, path, &fd, &name);
  if (reached != folderDone) return reached;
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? folderMissing : folderRefused;
  int backupFd;
  const char* backupName;
  if (reachBackupEntry(backup, backupPath, &backupFd, &backupName) != folderDone)
    return folderRefused;
#ifdef RENAME_NOREPLACE
  if (renameat2(fd, name, backupFd, backupName, RENAME_NOREPLACE) == 0) return folderDone;
  // A file system without it: the run's own new folder holds nothing it did not put
  // there, so a look for a free name is enough there.
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
    return errno == ENOENT ? folderMissing : folderRefused;
#endif
  if (fstatat(backupFd, backupName, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return folderRefused;
  }
  if (renameat(fd, name, backupFd, backupName) == 0) return folderDone;
  return errno == ENOENT ? folderMissing : folderRefused;
}

int deleteFileIn(TreeFolders* folders, const char* path) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, path, &fd, &name);
  if (reached != folderDone) return reached;
  if (unlinkat(fd, name, 0) == 0) return folderDone;
  return errno == ENOENT ? folderMissing : folderRefused;
}

int setFileTimesIn(TreeFolders* folders, const char* path, FileTime time) {
  int fd;
  const char* name;
  if (reachEntry(folders, path, &fd, &name) != folderDone) return 1;
  struct timespec times[2] = {toTimespec(time), toTimespec(time)};
  if (utimensat(fd, name, times, AT_SYMLINK_NOFOLLOW) == 0) return outsideFileTimes(time) ? 2 : 0;
  return errno == ENOENT || errno == EACCES ? 1 : 2;
}

int currentFolderVolume(TreeFolders* folders, uint64_t* volume) {
  if (folders->folderHandle == noFolder) return 1;
  if (!folders->folderVolumeKnown) {
    struct stat info;
    if (fstat(static_cast<int>(folders->folderHandle), &info) != 0) return 1;
    folders->folderVolume = static_cast<uint64_t>(info.st_dev);
    folders->folderVolumeKnown = 1;
  }
  *volume = folders->folderVolume;
  return 0;
}

int fileIdentityIn(TreeFolders* folders, const char* path, FileIdentity* identity) {
  int fd;
  const char* name;
  struct stat info;
  if (reachEntry(folders, path, &fd, &name) != folderDone ||
      fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return 1;
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->index = static_cast<uint64_t>(info.st_ino);
  return 0;
}

int getFileTimeIn(TreeFolders* folders, const char* path, FileTime* time) {
  int fd;
  const char* name;
  struct stat info;
  if (reachEntry(folders, path, &fd, &name) != folderDone || fstatat(fd, name, &info, 0) != 0)
    return 1;
  *time = toFileTime(info.st_mtim);
  return 0;
}

int openSourceFileIn(TreeFolders* folders, const char* path, SourceFile* source, int* failure) {
  int fd;
  const char* name;
  int reached = reachEntry(folders, path, &fd, &name);
  if (reached != folderDone) {
    *failure = reached == folderMissing ? ENOENT : errno;
    return sourceUnreadable;
  }
  // O_NONBLOCK: a pipe put where the listing saw a file opens at once, and is then
  // refused, instead of stalling the run until someone writes into it.
  int file = openat(fd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (file < 0) {
    *failure = errno;
    return sourceUnreadable;
  }
  return takeSourceFile(file, source, failure);
}
