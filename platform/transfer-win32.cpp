// Windows bodies of the transfer operations: the block loop copies every file, and
// the allocated ranges of a sparse source tell its holes.
#include <windows.h>
#include <winioctl.h>

#include "platform/copy_files.h"

namespace {
HANDLE handleOf(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

int seekTo(HANDLE file, long long offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) ? 0 : 1;
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

// Where the volume cannot keep holes (FAT, exFAT) the call fails, and the system
// fills with zeros what a copy passes over.
void makeSparse(HANDLE file) {
  DWORD bytes = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
}
}  // namespace

long long copyInKernel(FileHandle, FileHandle, long long) {
  return kernelCopyUnavailable;
}

int findSourceData(FileHandle source, long long from, long long* start, long long* end) {
  HANDLE file = handleOf(source);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return sourceHolesUnknown;
  if (from >= size.QuadPart) {
    *start = *end = size.QuadPart;
    return sourceDataEnded;
  }
  int found = allocatedRange(file, from, size.QuadPart, start, end);
  if (found != sourceDataFound) return found;
  return seekTo(file, *start) == 0 ? sourceDataFound : sourceHolesUnknown;
}

int skipHoleInCopy(FileHandle file, long long offset) {
  makeSparse(handleOf(file));
  return seekTo(handleOf(file), offset);
}

int setCopyLength(FileHandle file, long long length) {
  HANDLE handle = handleOf(file);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) return 1;
  if (length > size.QuadPart) makeSparse(handle);
  if (seekTo(handle, length) != 0) return 1;
  return SetEndOfFile(handle) ? 0 : 1;
}

long long reserveRoomForRest(FileHandle, const SourceFile&, long long from, long long) {
  // NTFS grows a file written in sequence well enough by itself.
  return from;
}
