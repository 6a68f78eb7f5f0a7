// POSIX bodies of the transfer operations: copies inside the kernel, the holes of
// sparse sources, and reading the next source files ahead while one is copied.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/read_ahead-posix.h"

// ThreadSanitizer runs a signal's handler only at the next call it intercepts, and
// it does not intercept copy_file_range: an interruption would be seen only once
// the whole copy is over. Its builds copy through the block loop instead.
#if defined(__SANITIZE_THREAD__)
#define TALVEN_SIGNALS_DEFERRED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TALVEN_SIGNALS_DEFERRED 1
#endif
#endif

long long copyInKernel(FILE* source, FILE* destination, long long count) {
#if defined(__linux__) && !defined(TALVEN_SIGNALS_DEFERRED)
  ssize_t moved = copy_file_range(fileno(source), nullptr, fileno(destination), nullptr,
                                  static_cast<size_t>(count), 0);
  // EXDEV, EINVAL, ENOSYS, EOPNOTSUPP, EINTR, but also EIO or ENOSPC: the block
  // loop takes over from where the kernel stopped, and meets a real failure again.
  return moved < 0 ? kernelCopyUnavailable : static_cast<long long>(moved);
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

int findSourceData(FILE* source, long long from, long long* start, long long* end) {
#if defined(SEEK_DATA) && defined(SEEK_HOLE)
  int fd = fileno(source);
  // As cp does: fewer blocks than the size takes are the sign of holes. Most files
  // have none, and cost this one look.
  struct stat info;
  if (from == 0 && (fstat(fd, &info) != 0 || info.st_blocks * 512 >= info.st_size))
    return sourceHolesUnknown;
  int found = seekData(fd, from, start, end);
  // A stream that met the end before the source grew reads on only once told.
  clearerr(source);
  return found;
#else
  (void)source;
  (void)from;
  (void)start;
  (void)end;
  return sourceHolesUnknown;
#endif
}

int skipHoleInCopy(FILE* file, long long offset) {
  if (fflush(file) != 0) return 1;
  return lseek(fileno(file), static_cast<off_t>(offset), SEEK_SET) == offset ? 0 : 1;
}

int setCopyLength(FILE* file, long long length) {
  // Growing a file leaves a hole; cutting it to its own size still frees the room
  // reserved past its end.
  return fflush(file) == 0 && ftruncate(fileno(file), static_cast<off_t>(length)) == 0 ? 0 : 1;
}

namespace {
// The window of files asked for and not yet copied: at most this many, with at most
// this many bytes asked for in all; of one file, at most its first readAheadEach
// bytes are asked for, the kernel's own read-ahead takes the rest as it is copied.
constexpr int readAheadCount = 32;
constexpr uint64_t readAheadBytes = 32u << 20;
constexpr uint64_t readAheadEach = 8u << 20;

struct HeldFile {
  FILE* file;
  uint64_t bytes;
  char* path;
};

// The files held in the order they were asked for: a ring of readAheadCount slots.
struct ReadAheadWindow {
  HeldFile files[readAheadCount];
  int first;
  int count;
  uint64_t bytes;
};
ReadAheadWindow window;

HeldFile& heldAt(int position) {
  return window.files[(window.first + position) % readAheadCount];
}

// Closes the oldest file held, or only forgets it when it was taken.
void dropOldest(int closeFile) {
  HeldFile& oldest = heldAt(0);
  if (closeFile) fclose(oldest.file);
  free(oldest.path);
  window.bytes -= oldest.bytes;
  window.first = (window.first + 1) % readAheadCount;
  --window.count;
}
}  // namespace

int readAheadFile(const char* path, uint64_t size) {
#if defined(POSIX_FADV_WILLNEED)
  uint64_t bytes = size < readAheadEach ? size : readAheadEach;
  if (window.count == readAheadCount || (window.count > 0 && window.bytes + bytes > readAheadBytes))
    return readAheadFull;
  // Opened as the copy opens it, which then takes this stream: the hint costs one
  // call more than the copy alone. A file that takes no hint is closed at once.
  FILE* file = openSourceStream(path);
  if (!file) return readAheadFailed;
  char* kept = strdup(path);
  if (!kept ||
      posix_fadvise(fileno(file), 0, static_cast<off_t>(bytes), POSIX_FADV_WILLNEED) != 0) {
    free(kept);
    fclose(file);
    return readAheadFailed;
  }
  heldAt(window.count) = HeldFile{file, bytes, kept};
  ++window.count;
  window.bytes += bytes;
  return readAheadStarted;
#else
  (void)path;
  (void)size;
  return readAheadUnavailable;
#endif
}

void endReadAhead() {
  while (window.count > 0) dropOldest(1);
}

// Files asked for before the one taken were passed over by the pass, which copies
// in the order it asked: they are closed.
FILE* takeReadAheadFile(const char* path) {
  for (int position = 0; position < window.count; ++position) {
    if (strcmp(heldAt(position).path, path) != 0) continue;
    while (position-- > 0) dropOldest(1);
    FILE* file = heldAt(0).file;
    dropOldest(0);
    return file;
  }
  return nullptr;
}
