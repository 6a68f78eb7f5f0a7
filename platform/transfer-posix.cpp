// POSIX bodies of the transfer operations: copies inside the kernel, the holes of
// sparse sources, and room reserved for large copies.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/copy_files.h"

// ThreadSanitizer runs a signal's handler only at the next call it intercepts, and
// it does not intercept copy_file_range: an interruption would be seen only once
// the whole copy is over. Its builds copy through the block loop instead.
#if defined(TALVEN_THREAD_SANITIZER)
#define TALVEN_SIGNALS_DEFERRED 1
#endif

long long copyInKernel(FileHandle source, FileHandle destination, long long count) {
#if defined(__linux__) && !defined(TALVEN_SIGNALS_DEFERRED)
  ssize_t moved = copy_file_range(static_cast<int>(source), nullptr, static_cast<int>(destination),
                                  nullptr, static_cast<size_t>(count), 0);
  if (moved >= 0) return static_cast<long long>(moved);
  // These say the kernel cannot copy between these files; anything else (EIO,
  // ENOSPC, EINTR) is met again, and reported, by the block loop.
  if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)
    return kernelCopyUnavailable;
  return kernelCopyFailed;
#else
  (void)source;
  (void)destination;
  (void)count;
  return kernelCopyUnavailable;
#endif
}

namespace {
// Where the data of fd begins at or after from, and where the hole after it begins;
// sourceHolesUnknown (the position left at from) where the system does not tell.
int seekData(int fd, long long from, long long* start, long long* end) {
  off_t data = lseek(fd, static_cast<off_t>(from), SEEK_DATA);
  if (data < 0) {
    // No data after from: the rest is a hole, or from lies at or past the end.
    struct stat info;
    if (errno != ENXIO || fstat(fd, &info) != 0) return sourceHolesUnknown;
    *start = *end = static_cast<long long>(info.st_size);
    return sourceDataEnded;
  }
  off_t hole = lseek(fd, data, SEEK_HOLE);
  if (hole <= data || lseek(fd, data, SEEK_SET) != data) {
    lseek(fd, static_cast<off_t>(from), SEEK_SET);
    return sourceHolesUnknown;
  }
  *start = static_cast<long long>(data);
  *end = static_cast<long long>(hole);
  return sourceDataFound;
}
}  // namespace

int findSourceData(FileHandle source, long long from, long long* start, long long* end) {
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
  return seekData(static_cast<int>(source), from, start, end);
#else
  (void)source;
  (void)from;
  (void)start;
  (void)end;
  return sourceHolesUnknown;
#endif
}

int skipHoleInCopy(FileHandle file, long long offset) {
  return lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) == offset ? 0 : 1;
}

int setCopyLength(FileHandle file, long long length) {
  // Growing a file leaves a hole; cutting it to its own size still frees the room
  // reserved past its end.
  return ftruncate(static_cast<int>(file), static_cast<off_t>(length)) == 0 ? 0 : 1;
}

long long reserveRoomForRest(FileHandle file, const SourceFile& source, long long from,
                             long long until) {
#ifdef FALLOC_FL_KEEP_SIZE
  long long end = source.size < until ? static_cast<long long>(source.size) : until;
  if (end <= from || fallocate(static_cast<int>(file), FALLOC_FL_KEEP_SIZE, from, end - from) != 0)
    return from;
  return end;
#else
  (void)file;
  (void)source;
  (void)until;
  return from;
#endif
}
