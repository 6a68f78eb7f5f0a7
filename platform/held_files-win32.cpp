// Windows bodies of what the backup folder needs beside the moves: its tag made and
// read, its entries listed, and an old run's folder removed. Windows gives ordinary
// programs no calls relative to a handle: each folder is reached by its full path
// while the folder above it is held, and a folder is held, without delete sharing,
// while what it holds is removed; a reparse point is never entered.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "platform/folders.h"
#include "platform/utf16-win32.h"

namespace {
bool heldWhole(const HeldFolder* folder) {
  return folder->handle != noFolder && folder->heldLength == strlen(folder->path);
}

// The wide form of name in the held folder, or an empty string (the last error set).
std::wstring widePathIn(const HeldFolder* folder, const char* name) {
  std::string path = std::string(folder->path) + pathSeparator + name;
  WidePath wide(path.c_str());
  return wide.text ? std::wstring(wide.text) : std::wstring();
}

bool isDot(const wchar_t* name) {
  return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

int removeWideEntry(const std::wstring& path, DWORD attributes, int depth);

// Removes everything in the folder at path, held meanwhile so that it cannot be
// renamed or replaced by a link; 0, or the code of the first failure.
int emptyWideFolder(const std::wstring& path, int depth) {
  HANDLE held = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  BY_HANDLE_FILE_INFORMATION information;
  int code = 0;
  if (!GetFileInformationByHandle(held, &information))
    code = static_cast<int>(GetLastError());
  else if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    code = ERROR_CANT_ACCESS_FILE;
  WIN32_FIND_DATAW found;
  HANDLE search = code ? INVALID_HANDLE_VALUE
                       : FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                          FindExSearchNameMatch, nullptr, 0);
  if (!code && search == INVALID_HANDLE_VALUE) code = static_cast<int>(GetLastError());
  while (search != INVALID_HANDLE_VALUE && code == 0) {
    if (!isDot(found.cFileName))
      code = removeWideEntry(path + L"\\" + found.cFileName, found.dwFileAttributes, depth + 1);
    if (code == 0 && !FindNextFileW(search, &found)) {
      DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_FILES) code = static_cast<int>(error);
      break;
    }
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  CloseHandle(held);
  return code;
}

// Removes the entry at path: a reparse point itself (never what it leads to), a file
// (read-only or not), or a folder with everything in it.
int removeWideEntry(const std::wstring& path, DWORD attributes, int depth) {
  bool isFolder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  if (isFolder && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (depth > 4096) return ERROR_CANT_RESOLVE_FILENAME;
    if (int code = emptyWideFolder(path, depth)) return code;
  }
  if (!isFolder && (attributes & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (isFolder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())) return 0;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(error);
}
}  // namespace

int writeSmallFileIn(const HeldFolder* folder, const char* name, const char* text, size_t length,
                     int overwrite) {
  if (!heldWhole(folder)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return folderRefused;
  }
  std::wstring path = widePathIn(folder, name);
  if (path.empty()) return folderRefused;
  // CREATE_NEW: never over anything that stands there, a link included; over a file
  // only, never through a reparse point.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            overwrite ? TRUNCATE_EXISTING : CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return folderRefused;
  BY_HANDLE_FILE_INFORMATION information;
  DWORD written = 0;
  bool done =
      GetFileInformationByHandle(file, &information) &&
      !(information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
      WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) && written == length &&
      FlushFileBuffers(file);
  DWORD error = done ? 0 : GetLastError();
  CloseHandle(file);
  if (done) return folderDone;
  if (!overwrite) DeleteFileW(path.c_str());
  SetLastError(error ? error : ERROR_WRITE_FAULT);
  return folderRefused;
}

long readFileStart(const char* path, char* buffer, size_t size) {
  WidePath wide(path);
  if (!wide.text) return -1;
  HANDLE file =
      CreateFileW(wide.text, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION information;
  long total = -1;
  if (GetFileInformationByHandle(file, &information) &&
      !(information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    DWORD read = 0;
    if (ReadFile(file, buffer, static_cast<DWORD>(size), &read, nullptr))
      total = static_cast<long>(read);
  }
  CloseHandle(file);
  return total;
}

int listHeldFolder(const HeldFolder* folder,
                   void (*sink)(void* context, const char* name, int isFolder), void* context) {
  if (!heldWhole(folder)) return ERROR_PATH_NOT_FOUND;
  std::wstring path = widePathIn(folder, "*");
  if (path.empty()) return static_cast<int>(GetLastError());
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  int code = 0;
  do {
    char name[1024];
    // A name no UTF-8 can hold names no run's folder.
    if (isDot(found.cFileName) || narrowName(found.cFileName, name, sizeof name) != narrowDone)
      continue;
    DWORD attributes = found.dwFileAttributes;
    sink(context, name,
         (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT));
  } while (FindNextFileW(search, &found));
  DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) code = static_cast<int>(error);
  FindClose(search);
  return code;
}

int removeFolderTreeIn(const HeldFolder* parent, const char* name) {
  if (!heldWhole(parent)) return ERROR_PATH_NOT_FOUND;
  std::wstring path = widePathIn(parent, name);
  if (path.empty()) return static_cast<int>(GetLastError());
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
  // Only a folder: never a reparse point or a file that took its name.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return ERROR_DIRECTORY;
  return removeWideEntry(path, attributes, 0);
}
