// Windows bodies of the single-file operations: times, folders, deletions, moves
// and the stream a copy writes. Every path goes through its wide \\?\ form.
#include <stdio.h>
#include <windows.h>

#include "platform/entries-win32.h"
#include "platform/folders.h"
#include "platform/platform.h"
#include "platform/utf16-win32.h"

int setFileTimes(const char* path, FileTime time) {
  WidePath wide(path);
  if (!wide.text) return 1;
  HANDLE file = CreateFileW(wide.text, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  FILETIME stamp = {time.low, time.high};
  int result = SetFileTime(file, &stamp, &stamp, &stamp) ? 0 : 2;
  CloseHandle(file);
  return result;
}

int getFileTime(const char* path, FileTime* time) {
  HANDLE file = openForInformation(path, 0);
  if (file == INVALID_HANDLE_VALUE) return 1;
  FILETIME lastWrite;
  int failed = !GetFileTime(file, nullptr, nullptr, &lastWrite);
  CloseHandle(file);
  if (failed) return 1;
  *time = fromFiletime(lastWrite);
  return 0;
}

int makeDirectory(const char* path) {
  WidePath wide(path);
  return wide.text && CreateDirectoryW(wide.text, nullptr) ? 0 : 1;
}

int deleteFile(const char* path) {
  WidePath wide(path);
  return wide.text && DeleteFileW(wide.text) ? 0 : 1;
}

namespace {
int moveFile(const char* from, const char* to, DWORD flags) {
  WidePath wideFrom(from);
  WidePath wideTo(to);
  if (!wideFrom.text || !wideTo.text) return 1;
  return MoveFileExW(wideFrom.text, wideTo.text, flags) ? 0 : 1;
}

// A file link in the destination would make the copier write through it into
// whatever file it names, perhaps outside the destination tree.
int removeLinkAt(const char* path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return 0;
  DWORD reparseTag = 0;
  if (readOwnEntry(path, &attributes, &reparseTag)) return 1;
  if (!leadsElsewhere(attributes, reparseTag)) return 0;
  return deleteFile(path);
}
}  // namespace

// Written through: a move that puts a copy in place is on disk when it returns.
int replaceFile(const char* from, const char* to) {
  return moveFile(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

int moveFileIfAbsent(const char* from, const char* to) {
  return moveFile(from, to, MOVEFILE_WRITE_THROUGH);
}

int checkReplaceable(const char* path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return replaceableFree;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // Told as the reason of the refusal, as the system tells it for a file made there.
    SetLastError(ERROR_ACCESS_DENIED);
    return replaceableRefused;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (removeLinkAt(path) != 0) return replaceableLinkKept;
    if (attributesOf(path) == INVALID_FILE_ATTRIBUTES) return replaceableFree;
  }
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return replaceableFile;
  SetLastError(ERROR_ACCESS_DENIED);
  return replaceableRefused;
}

int fileIdentity(const char* path, FileIdentity* identity) {
  HANDLE file = openForInformation(path, 1);
  if (file == INVALID_HANDLE_VALUE) return 1;
  BY_HANDLE_FILE_INFORMATION information;
  int failed = !GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  if (failed) return 1;
  identity->volume = information.dwVolumeSerialNumber;
  identity->index = wholeSize(information.nFileIndexHigh, information.nFileIndexLow);
  return 0;
}
