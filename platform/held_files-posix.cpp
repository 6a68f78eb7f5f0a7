// POSIX bodies of what the backup folder needs beside the moves: its tag made and
// read, its entries listed, and an old run's folder removed, each through the
// descriptor of a folder held, one level at a time, never through a link.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/folders.h"

namespace {
// The folder name in fd opened for listing, never through a link; -1 on failure.
int openFolderBelow(int fd, const char* name) {
  return openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Gives sink every entry of the folder fd stands for (fd is taken and closed); 0 when
// listed whole, else the system's code.
int listFolder(int fd, void (*sink)(void* context, int fd, const struct dirent* entry),
               void* context) {
  DIR* directory = fdopendir(fd);
  if (!directory) {
    int code = errno;
    close(fd);
    return code;
  }
  int code = 0;
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(directory);
    if (!entry) {
      code = errno;
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    sink(context, dirfd(directory), entry);
  }
  closedir(directory);
  return code;
}

struct Names {
  std::vector<std::string> names;
  bool full;  ///< memory ran out: the listing is not whole
};

void keepName(void* context, int, const struct dirent* entry) {
  Names* names = static_cast<Names*>(context);
  try {
    names->names.emplace_back(entry->d_name);
  } catch (...) {
    names->full = true;
  }
}

// Removes name in the folder fd: a file or a link itself, or a folder (never reached
// through a link) with everything in it, its names read first and then removed the
// same way. 0, or the code of the first failure; what could not be removed stays.
int removeEntry(int fd, const char* name, int depth) {
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(info.st_mode)) return unlinkat(fd, name, 0) == 0 || errno == ENOENT ? 0 : errno;
  if (depth > 4096) return ELOOP;
  int below = openFolderBelow(fd, name);
  if (below < 0) return errno;
  Names names = {{}, false};
  int listFd = fcntl(below, F_DUPFD_CLOEXEC, 0);
  int code = listFd < 0 ? errno : listFolder(listFd, keepName, &names);
  if (code == 0 && names.full) code = ENOMEM;
  for (size_t i = 0; code == 0 && i < names.names.size(); ++i)
    code = removeEntry(below, names.names[i].c_str(), depth + 1);
  close(below);
  if (code != 0) return code;
  return unlinkat(fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

struct HeldListing {
  void (*sink)(void* context, const char* name, int isFolder);
  void* context;
};

void giveHeldEntry(void* context, int fd, const struct dirent* entry) {
  HeldListing* listing = static_cast<HeldListing*>(context);
  struct stat info;
  int isFolder =
      fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
  listing->sink(listing->context, entry->d_name, isFolder);
}

bool heldWhole(const HeldFolder* folder) {
  return folder->handle != noFolder && folder->heldLength == strlen(folder->path);
}
}  // namespace

int writeSmallFileIn(const HeldFolder* folder, const char* name, const char* text, size_t length,
                     int overwrite) {
  if (!heldWhole(folder)) {
    errno = ENOENT;
    return folderRefused;
  }
  int held = static_cast<int>(folder->handle);
  int how = overwrite ? O_TRUNC | O_NONBLOCK : O_CREAT | O_EXCL;
  int fd = openat(held, name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | how, 0644);
  if (fd < 0) return folderRefused;
  struct stat info;
  int code = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
  size_t written = 0;
  while (code == 0 && written < length) {
    ssize_t step = write(fd, text + written, length - written);
    if (step < 0 && errno == EINTR) continue;
    if (step <= 0) code = step < 0 ? errno : EIO;
    if (step > 0) written += static_cast<size_t>(step);
  }
  if (code == 0 && fsync(fd) != 0) code = errno;
  close(fd);
  if (code == 0) return folderDone;
  // Nothing half made stays behind.
  if (!overwrite) unlinkat(held, name, 0);
  errno = code;
  return folderRefused;
}

long readFileStart(const char* path, char* buffer, size_t size) {
  // Never blocks on a pipe that took the name meanwhile: only a regular file is read.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat info;
  long total = -1;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    total = 0;
    while (static_cast<size_t>(total) < size) {
      ssize_t step = read(fd, buffer + total, size - static_cast<size_t>(total));
      if (step < 0 && errno == EINTR) continue;
      if (step < 0) total = -1;
      if (step <= 0) break;
      total += step;
    }
  }
  close(fd);
  return total;
}

int listHeldFolder(const HeldFolder* folder,
                   void (*sink)(void* context, const char* name, int isFolder), void* context) {
  if (!heldWhole(folder)) return ENOENT;
  // The held descriptor only names the folder: the listing opens it for reading.
  int fd = openat(static_cast<int>(folder->handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  HeldListing listing = {sink, context};
  return listFolder(fd, giveHeldEntry, &listing);
}

int removeFolderTreeIn(const HeldFolder* parent, const char* name) {
  if (!heldWhole(parent)) return ENOENT;
  int fd = static_cast<int>(parent->handle);
  // Only a folder, never a link or a file that took its name.
  struct stat info;
  if (fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  return removeEntry(fd, name, 0);
}
