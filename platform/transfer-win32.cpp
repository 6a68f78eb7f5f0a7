// Windows bodies of the transfer operations: the block loop copies every file, the
// allocated ranges of a sparse source tell its holes, and no read-ahead hint is
// given; the system's own read-ahead of sequential reads is all there is.
#include <io.h>
#include <stdio.h>
#include <windows.h>
#include <winioctl.h>

#include "platform/platform.h"

namespace {
HANDLE handleOf(FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// Where the first allocated range of file at or after from begins and ends, up to
// size; sourceHolesUnknown where the file system answers no such question.
int allocatedRange(HANDLE file, long long from, long long size, long long* start, long long* end) {
  FILE_ALLOCATED_RANGE_BUFFER asked;
  asked.FileOffset.QuadPart = from;
  asked.Length.QuadPart = size - from;
  FILE_ALLOCATED_RANGE_BUFFER found[1];
  DWORD bytes = 0;
  // A buffer of one range is enough: the next call asks for the next one.
  if (!DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof asked, found,
                       sizeof found, &bytes, nullptr) &&
      GetLastError() != ERROR_MORE_DATA)
    return sourceHolesUnknown;
  if (bytes < sizeof found[0]) {
    *start = *end = size;
    return sourceDataEnded;
  }
  long long first = found[0].FileOffset.QuadPart;
  *start = first > from ? first : from;
  *end = first + found[0].Length.QuadPart;
  return *end > *start ? sourceDataFound : sourceHolesUnknown;
}
}  // namespace

long long copyInKernel(FILE*, FILE*, long long) {
  return kernelCopyUnavailable;
}

int findSourceData(FILE* source, long long from, long long* start, long long* end) {
  HANDLE file = handleOf(source);
  if (file == INVALID_HANDLE_VALUE) return sourceHolesUnknown;
  // Only a file marked sparse has ranges that NTFS knows to be zeros.
  BY_HANDLE_FILE_INFORMATION information;
  if (from == 0 && (!GetFileInformationByHandle(file, &information) ||
                    !(information.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE)))
    return sourceHolesUnknown;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return sourceHolesUnknown;
  if (from >= size.QuadPart) {
    *start = *end = size.QuadPart;
    return sourceDataEnded;
  }
  int found = allocatedRange(file, from, size.QuadPart, start, end);
  if (found != sourceDataFound) return found;
  // The seek also forgets an end of file the stream met before the source grew.
  return _fseeki64(source, *start, SEEK_SET) == 0 ? sourceDataFound : sourceHolesUnknown;
}

namespace {
// Where the volume cannot keep holes (FAT, exFAT) the call fails, and the system
// fills with zeros what a copy passes over.
void makeSparse(HANDLE file) {
  DWORD bytes = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
}
}  // namespace

int skipHoleInCopy(FILE* file, long long offset) {
  HANDLE handle = handleOf(file);
  if (handle == INVALID_HANDLE_VALUE || fflush(file) != 0) return 1;
  makeSparse(handle);
  return _fseeki64(file, offset, SEEK_SET) == 0 ? 0 : 1;
}

int setCopyLength(FILE* file, long long length) {
  HANDLE handle = handleOf(file);
  LARGE_INTEGER size;
  if (handle == INVALID_HANDLE_VALUE || fflush(file) != 0 || !GetFileSizeEx(handle, &size))
    return 1;
  if (length > size.QuadPart) makeSparse(handle);
  if (_fseeki64(file, length, SEEK_SET) != 0) return 1;
  return SetEndOfFile(handle) ? 0 : 1;
}

int readAheadFile(const char*, uint64_t) {
  return readAheadUnavailable;
}

void endReadAhead() {}
