// POSIX bodies of the durability operations. On Linux one syncfs makes a whole batch
// of copies durable at the cost of one journal commit; elsewhere each file is synced.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {
// The file systems whose copies were synced since the last syncChangedFileSystems,
// each with an open descriptor on it: their renames are still to be made durable.
constexpr int fileSystemsKept = 8;
struct FileSystemsMet {
  dev_t devices[fileSystemsKept];
  int descriptors[fileSystemsKept];
  int count;
};
FileSystemsMet met;

void keepFileSystem(dev_t device, int fd) {
  for (int i = 0; i < met.count; ++i)
    if (met.devices[i] == device) return;
  if (met.count == fileSystemsKept) return;
  int kept = dup(fd);
  if (kept < 0) return;
  met.devices[met.count] = device;
  met.descriptors[met.count++] = kept;
}

// Syncs the whole file system of fd; 0 when it reported no failure.
int syncWholeFileSystem(int fd) {
#if defined(__linux__)
  return syncfs(fd) == 0 ? 0 : 1;
#else
  return fsync(fd) == 0 ? 0 : 1;
#endif
}

// One file system's sync per batch, and its result, for the files on it.
struct BatchSync {
  dev_t device;
  int result;
};
}  // namespace

void startDataWrite(FILE* file) {
#if defined(__linux__)
  if (fflush(file) == 0) sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

int syncFileData(FILE* file) {
  return fflush(file) == 0 && fdatasync(fileno(file)) == 0 ? 0 : 1;
}

int syncFilesData(FILE* const* files, int count, unsigned char* failed) {
  BatchSync synced[fileSystemsKept];
  int syncedCount = 0;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    int fd = fileno(files[i]);
    int result = fflush(files[i]) == 0 ? -1 : 1;
    struct stat info;
    if (result < 0 && fstat(fd, &info) == 0) {
      for (int k = 0; k < syncedCount && result < 0; ++k)
        if (synced[k].device == info.st_dev) result = synced[k].result;
      if (result < 0 && syncedCount < fileSystemsKept) {
        result = syncWholeFileSystem(fd);
        synced[syncedCount++] = BatchSync{info.st_dev, result};
        keepFileSystem(info.st_dev, fd);
      }
    }
    // A file system's sync fails for any file on it that could not be written, also
    // one of another program: the file's own sync tells whether this one's data is
    // on disk.
    failed[i] = result != 0 && fdatasync(fd) != 0;
    failures += failed[i];
  }
  return failures;
}

int syncChangedFileSystems(const char* folder) {
  int failed = 0;
  dev_t folderDevice = 0;
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat info;
  if (fd >= 0) {
    if (fstat(fd, &info) == 0) folderDevice = info.st_dev;
    failed |= syncWholeFileSystem(fd);
    close(fd);
  }
  for (int i = 0; i < met.count; ++i) {
    if (fd < 0 || met.devices[i] != folderDevice) failed |= syncWholeFileSystem(met.descriptors[i]);
    close(met.descriptors[i]);
  }
  met.count = 0;
  return failed;
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
  int free = 0;
  for (rlim_t fd = 0; fd < limit.rlim_cur && free < wanted; ++fd)
    free += fcntl(static_cast<int>(fd), F_GETFD) < 0 && errno == EBADF;
  return free;
}
