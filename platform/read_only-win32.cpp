// Windows bodies of the deletions and replacements of read-only files. The system
// refuses to delete a file marked read-only or to rename anything over it, and a
// mirror must be able to update or remove a file that it made read-only itself (an
// exact mirror keeps the mark). The common case costs nothing more: the plain call
// is tried first, and only a refusal of a file that carries the mark is taken the
// long way, through a handle on the file itself, never through a reparse point.
#include <windows.h>

#include "platform/entries-win32.h"

namespace {
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD entryItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The attributes of the file open at file; INVALID_FILE_ATTRIBUTES where unread.
DWORD openAttributes(HANDLE file) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
    return INVALID_FILE_ATTRIBUTES;
  return basic.FileAttributes;
}

// Gives the file open at file the attributes given; no time changes. 0, or the
// system's code.
DWORD setOpenAttributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  // Zero attributes leave them as they are: none at all is told as "normal".
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) ? 0 : GetLastError();
}

// Opens the file (or with folder, the folder) at path itself, never what a reparse
// point leads to, with access, and reads its attributes; INVALID_HANDLE_VALUE where
// it is no such entry marked read-only, or cannot be opened.
HANDLE openReadOnlyFile(const wchar_t* path, DWORD access, DWORD* attributes, bool folder = false) {
  HANDLE file = CreateFileW(path, access | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                            nullptr, OPEN_EXISTING, entryItself, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  *attributes = openAttributes(file);
  if (*attributes == INVALID_FILE_ATTRIBUTES ||
      ((*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder ||
      !(*attributes & FILE_ATTRIBUTE_READONLY)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// FileDispositionInfoEx, which headers for systems before Windows 10 (1809) lack.
constexpr FILE_INFO_BY_HANDLE_CLASS dispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// Its flags: delete, and pass over the read-only mark.
struct DispositionEx {
  DWORD flags;
};
constexpr DWORD disposeDelete = 0x1;
constexpr DWORD disposeIgnoringReadOnly = 0x10;

// Marks the file open at file for deletion at its close, the read-only mark passed
// over: by the system's own flag where it has it, else by taking the mark off
// first. Where the file keeps other names, they keep the mark. 0, or the system's
// code (the mark then stays as it was).
DWORD disposeReadOnly(HANDLE file, DWORD attributes) {
  DispositionEx ignoring = {disposeDelete | disposeIgnoringReadOnly};
  if (SetFileInformationByHandle(file, dispositionInfoEx, &ignoring, sizeof ignoring)) return 0;
  DWORD error = setOpenAttributes(file, attributes & ~FILE_ATTRIBUTE_READONLY);
  if (error != 0) return error;
  FILE_DISPOSITION_INFO dispose = {TRUE};
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose)) {
    error = GetLastError();
    setOpenAttributes(file, attributes);
    return error;
  }
  // The file goes at the close; its other names, if any, stay marked.
  FILE_STANDARD_INFO standard;
  if (GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
      standard.NumberOfLinks > 1)
    setOpenAttributes(file, attributes);
  return 0;
}

// After the plain call refused the entry at path: deletes it where it is a file (or
// with folder, an empty folder) that carries the read-only mark, passing over the
// mark. Otherwise the plain call's code stays the last failure.
int disposeMarkedEntry(const wchar_t* path, bool folder) {
  DWORD error = GetLastError();
  if (error != ERROR_ACCESS_DENIED) return 1;
  DWORD attributes = 0;
  HANDLE entry = openReadOnlyFile(path, DELETE, &attributes, folder);
  if (entry == INVALID_HANDLE_VALUE) {
    SetLastError(error);
    return 1;
  }
  error = disposeReadOnly(entry, attributes);
  CloseHandle(entry);
  SetLastError(error);
  return error == 0 ? 0 : 1;
}
}  // namespace

int deleteWideFile(const wchar_t* path) {
  return DeleteFileW(path) ? 0 : disposeMarkedEntry(path, false);
}

int removeWideFolder(const wchar_t* path) {
  return RemoveDirectoryW(path) ? 0 : disposeMarkedEntry(path, true);
}

int replaceWideFile(const wchar_t* from, const wchar_t* to, DWORD flags) {
  flags |= MOVEFILE_REPLACE_EXISTING;
  if (MoveFileExW(from, to, flags)) return 0;
  DWORD error = GetLastError();
  if (error != ERROR_ACCESS_DENIED) return 1;
  // The mark comes off the file replaced, and goes back on where the move still
  // fails. A file replaced open would refuse the move: the handle is closed first.
  DWORD attributes = 0;
  HANDLE file = openReadOnlyFile(to, 0, &attributes);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(error);
    return 1;
  }
  DWORD cleared = setOpenAttributes(file, attributes & ~FILE_ATTRIBUTE_READONLY);
  CloseHandle(file);
  if (cleared != 0) {
    SetLastError(error);
    return 1;
  }
  if (MoveFileExW(from, to, flags)) return 0;
  error = GetLastError();
  file = CreateFileW(to, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll, nullptr,
                     OPEN_EXISTING, entryItself, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    setOpenAttributes(file, attributes);
    CloseHandle(file);
  }
  SetLastError(error);
  return 1;
}
