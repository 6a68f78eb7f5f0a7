// Windows bodies of the files a copy reads and writes: plain handles, no stream
// around them. A copy's times are set by its path once it is closed, as NTFS may
// stamp a handle's writes when it is closed.
#include <windows.h>

#include "platform/copy_files.h"
#include "platform/entries-win32.h"
#include "platform/utf16-win32.h"

namespace {
HANDLE handleOf(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// One call moves at most this much: ReadFile and WriteFile count in 32 bits.
constexpr size_t mostPerCall = 1u << 30;
}  // namespace

int openSourceFile(const char* path, SourceFile* source, int* failure) {
  WidePath wide(path);
  if (!wide.text) {
    *failure = ERROR_FILENAME_EXCED_RANGE;
    return sourceUnreadable;
  }
  HANDLE file =
      CreateFileW(wide.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *failure = static_cast<int>(GetLastError());
    return sourceUnreadable;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) {
    *failure = static_cast<int>(GetLastError());
    CloseHandle(file);
    return sourceUnreadable;
  }
  // Only a file on a disk is read: a folder, a pipe or a device is refused at once.
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return sourceNotRegular;
  }
  source->handle = reinterpret_cast<FileHandle>(file);
  source->size =
      static_cast<int64_t>(wholeSize(information.nFileSizeHigh, information.nFileSizeLow));
  source->copyMode = 0666;
  // Only a file marked sparse has ranges that NTFS knows to be zeros.
  source->mayHaveHoles = (information.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
  source->volume = information.dwVolumeSerialNumber;
  return sourceOpened;
}

long long readFromFile(FileHandle file, void* buffer, size_t count) {
  DWORD got = 0;
  DWORD asked = static_cast<DWORD>(count < mostPerCall ? count : mostPerCall);
  if (!ReadFile(handleOf(file), buffer, asked, &got, nullptr)) return -1;
  return static_cast<long long>(got);
}

long long writeToFile(FileHandle file, const void* buffer, size_t count) {
  const char* at = static_cast<const char*>(buffer);
  size_t left = count;
  while (left > 0) {
    DWORD written = 0;
    DWORD asked = static_cast<DWORD>(left < mostPerCall ? left : mostPerCall);
    if (!WriteFile(handleOf(file), at, asked, &written, nullptr) || written == 0) return -1;
    at += written;
    left -= written;
  }
  return static_cast<long long>(count);
}

int closeFile(FileHandle file) {
  return CloseHandle(handleOf(file)) ? 0 : 1;
}

int hintReadAhead(FileHandle, uint64_t) {
  // Sources are opened for a sequential scan: the system's own read-ahead of
  // sequential reads is all there is.
  return 1;
}

int sourceStillNamed(FileHandle source) {
  BY_HANDLE_FILE_INFORMATION look;
  return GetFileInformationByHandle(handleOf(source), &look) != 0 && look.nNumberOfLinks > 0;
}

int beginCopyThread() {
  return 0;
}

int setOpenFileTimes(FileHandle, FileTime) {
  return 1;
}

int getOpenFileFacts(FileHandle, FileTime*, FileIdentity*) {
  return 1;
}
