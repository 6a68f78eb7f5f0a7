// POSIX bodies of the durability operations. On Linux one syncfs makes every copy
// written on a file system durable at the cost of one journal commit; elsewhere each
// file is synced by itself.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/copy_files.h"

namespace {
// Syncs the whole file system of fd; 0 when it reported no failure.
int syncWholeFileSystem(int fd) {
#if defined(__linux__)
  return syncfs(fd) == 0 ? 0 : 1;
#else
  return fsync(fd) == 0 ? 0 : 1;
#endif
}

int openFolder(const char* path) {
  return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The folder below which mounts are looked for, and whether any sync failed.
struct MountSync {
  const char* root;
  int failed;
};

// The descriptors the process holds below top, or -1 when that cannot be told.
int openDescriptorsBelow(int top) {
  DIR* folder = opendir("/proc/self/fd");
  int count = 0;
  if (folder) {
    // The listing's own descriptor is among them: it is closed again before any copy.
    while (struct dirent* entry = readdir(folder)) {
      char* end;
      long fd = strtol(entry->d_name, &end, 10);
      count += *end == '\0' && end != entry->d_name && fd < top && fd != dirfd(folder);
    }
    closedir(folder);
    return count;
  }
  // Without a list of them, each number is asked for, up to a bound that keeps
  // this short: numbers beyond it count as free.
  for (int fd = 0; fd < top && fd < 65536; ++fd) count += fcntl(fd, F_GETFD) >= 0 || errno != EBADF;
  return count;
}

void syncMount(void* context, const char* relative) {
  MountSync* sync = static_cast<MountSync*>(context);
  size_t rootLength = strlen(sync->root);
  size_t length = rootLength + strlen(relative) + 1;
  char path[PATH_MAX];
  if (length > sizeof path) return;
  memcpy(path, sync->root, rootLength);
  memcpy(path + rootLength, relative, length - rootLength);
  int fd = openFolder(path);
  if (fd < 0) return;
  sync->failed |= syncWholeFileSystem(fd);
  close(fd);
}
}  // namespace

void startDataWrite(FileHandle file) {
#if defined(__linux__)
  sync_file_range(static_cast<int>(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

int syncFileData(FileHandle file) {
  return fdatasync(static_cast<int>(file)) == 0 ? 0 : 1;
}

int syncFileSystemOf(FileHandle file) {
#if defined(__linux__)
  return syncfs(static_cast<int>(file)) == 0 ? 0 : 1;
#else
  (void)file;
  return 1;
#endif
}

int syncsWholeFileSystems() {
#if defined(__linux__)
  return 1;
#else
  return 0;
#endif
}

FileHandle openFolderForSync(const char* path, uint64_t* volume) {
  int fd = openFolder(path);
  struct stat info;
  if (fd < 0) return noFile;
  if (fstat(fd, &info) != 0) {
    close(fd);
    return noFile;
  }
  *volume = static_cast<uint64_t>(info.st_dev);
  return fd;
}

int syncChangedFileSystems(const char* folder) {
  int fd = openFolder(folder);
  if (fd < 0) return errno == ENOENT ? 0 : 1;
  MountSync sync = {folder, syncWholeFileSystem(fd)};
  close(fd);
  // Copies, renames and deletions below mount points lie on file systems of their own.
  forEachMountBelow(folder, syncMount, &sync);
  return sync.failed;
}

int allowOpenFiles(int wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  rlim_t want = static_cast<rlim_t>(wanted);
  if (limit.rlim_cur < want && limit.rlim_cur != RLIM_INFINITY) {
    rlim_t raised =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max > want ? want : limit.rlim_max;
    struct rlimit asked = {raised, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &asked) == 0) limit.rlim_cur = raised;
  }
  // The limit bounds the descriptors' numbers: those the process holds already, its
  // own and those its parent left open, leave fewer below it for the copies.
  rlim_t top =
      limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 30) ? (1u << 30) : limit.rlim_cur;
  int open = openDescriptorsBelow(static_cast<int>(top));
  long long free = static_cast<long long>(top) - open;
  return free < wanted ? static_cast<int>(free) : wanted;
}
