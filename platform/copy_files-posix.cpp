// POSIX bodies of the files a copy reads and writes: plain descriptors, no stream
// around them, so that a copy costs only the calls it needs.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/copy_files.h"
#include "platform/file_time-posix.h"
#include "platform/source_file-posix.h"

int openSourceFile(const char* path, SourceFile* source, int* failure) {
  // O_NONBLOCK: a pipe put where the listing saw a file opens at once, and is then
  // refused below, instead of stalling the run until someone writes into it.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *failure = errno;
    return sourceUnreadable;
  }
  return takeSourceFile(fd, source, failure);
}

int takeSourceFile(int fd, SourceFile* source, int* failure) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *failure = errno;
    close(fd);
    return sourceUnreadable;
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    return sourceNotRegular;
  }
  source->handle = fd;
  source->size = static_cast<int64_t>(info.st_size);
  source->copyMode = (static_cast<unsigned>(info.st_mode) & 0777u) | 0200u;
  // As cp does: fewer blocks than the size takes are the sign of holes.
  source->mayHaveHoles = static_cast<int64_t>(info.st_blocks) * 512 < source->size;
  source->volume = static_cast<uint64_t>(info.st_dev);
  return sourceOpened;
}

long long readFromFile(FileHandle file, void* buffer, size_t count) {
  for (;;) {
    ssize_t got = read(static_cast<int>(file), buffer, count);
    if (got >= 0 || errno != EINTR) return got;
  }
}

long long writeToFile(FileHandle file, const void* buffer, size_t count) {
  const char* at = static_cast<const char*>(buffer);
  size_t left = count;
  while (left > 0) {
    ssize_t written = write(static_cast<int>(file), at, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return -1;
    at += written;
    left -= static_cast<size_t>(written);
  }
  return static_cast<long long>(count);
}

int closeFile(FileHandle file) {
  return close(static_cast<int>(file)) == 0 ? 0 : 1;
}

int hintReadAhead(FileHandle source, uint64_t bytes) {
#if defined(POSIX_FADV_WILLNEED)
  return posix_fadvise(static_cast<int>(source), 0, static_cast<off_t>(bytes),
                       POSIX_FADV_WILLNEED) == 0
             ? 0
             : 1;
#else
  (void)source;
  (void)bytes;
  return 1;
#endif
}

int sourceStillNamed(FileHandle source) {
  struct stat look;
  return fstat(static_cast<int>(source), &look) == 0 && look.st_nlink > 0;
}

int beginCopyThread() {
#if defined(__linux__) && !defined(TALVEN_THREAD_SANITIZER)
  // The thread's opens and closes then take no lock another thread takes, and the
  // system counts no other user of its files on every call that names one.
  // ThreadSanitizer keeps one table of descriptors for the whole process: a number
  // open in two tables at once looks to it like one file shared without a lock.
  return unshare(CLONE_FILES) == 0;
#else
  return 0;
#endif
}

int setOpenFileTimes(FileHandle file, FileTime time) {
  struct timespec times[2] = {toTimespec(time), toTimespec(time)};
  // A time outside what a file time holds is set by path as well, which tells so.
  return futimens(static_cast<int>(file), times) == 0 && !outsideFileTimes(time) ? 0 : 1;
}

int getOpenFileFacts(FileHandle file, FileTime* time, FileIdentity* identity) {
  struct stat info;
  if (fstat(static_cast<int>(file), &info) != 0) return 1;
  *time = toFileTime(info.st_mtim);
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->index = static_cast<uint64_t>(info.st_ino);
  return 0;
}
