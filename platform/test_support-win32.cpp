// Windows bodies of the test helpers for files and folders. Paths are UTF-8, as in
// the program, and reach the system through the same wide, long-path form.
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>

#include "platform/test_support.h"
#include "platform/utf16-win32.h"

namespace {
// The runs a test makes in this process are runs with no person at the console,
// however the tests were started: standard input is no console for them, so that
// no run waits for an answer.
struct InputFromNothing {
  InputFromNothing() {
    DWORD mode;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (nothing != INVALID_HANDLE_VALUE) SetStdHandle(STD_INPUT_HANDLE, nothing);
  }
} inputFromNothing;

bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

bool isLink(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The wide form of a UTF-8 path; empty when it has none.
std::wstring wide(const std::string& path) {
  WidePath form(path.c_str());
  return form.text ? std::wstring(form.text) : std::wstring();
}

std::string narrow(const wchar_t* name) {
  char bytes[4 * MAX_PATH];
  return narrowName(name, bytes, sizeof bytes) == narrowDone ? std::string(bytes) : std::string();
}

DWORD attributesAt(const std::string& path) {
  std::wstring form = wide(path);
  return form.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(form.c_str());
}

// Calls visit(name, attributes) for every entry of folder but "." and "..".
template <typename Visit>
void forEachEntry(const std::string& folder, Visit visit) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
      visit(narrow(found.cFileName), found.dwFileAttributes);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Removes a folder's contents; a junction or link to a folder is removed itself,
// never entered, so nothing outside the scratch folder is touched.
void removeContents(const std::string& folder) {
  forEachEntry(folder, [&](const std::string& name, DWORD attributes) {
    std::wstring path = wide(folder + "\\" + name);
    if (attributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      DeleteFileW(path.c_str());
      return;
    }
    if (!isLink(attributes)) removeContents(folder + "\\" + name);
    RemoveDirectoryW(path.c_str());
  });
}

void collectFiles(const std::string& root, const std::string& relative,
                  std::vector<std::string>* files) {
  std::string folder = relative.empty() ? root : root + "\\" + relative;
  forEachEntry(folder, [&](const std::string& name, DWORD attributes) {
    std::string child = relative.empty() ? name : relative + "\\" + name;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !isLink(attributes))
      collectFiles(root, child, files);
    else
      files->push_back(child);
  });
}

int64_t units(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}
}  // namespace

std::string makeScratchFolder() {
  char temporary[MAX_PATH];
  DWORD length = GetTempPathA(sizeof temporary, temporary);
  if (length == 0 || length >= sizeof temporary) return std::string();
  char longForm[MAX_PATH];
  length = GetLongPathNameA(temporary, longForm, sizeof longForm);
  std::string base = length > 0 && length < sizeof longForm ? longForm : temporary;
  if (!base.empty() && !isSeparator(base.back())) base += '\\';
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, "talven-test-%lu-%u", GetCurrentProcessId(), counter++);
    std::string path = base + name;
    if (CreateDirectoryW(wide(path).c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::string();
}

void removeScratchFolder(const std::string& path) {
  if (path.empty() || path.find("talven-test-") == std::string::npos) return;
  removeContents(path);
  RemoveDirectoryW(wide(path).c_str());
}

bool removeFolderTree(const std::string& path) {
  removeContents(path);
  return RemoveDirectoryW(wide(path).c_str()) != 0;
}

std::string joinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  return isSeparator(a.back()) ? a + b : a + "\\" + b;
}

bool makeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && !isSeparator(path[at])) continue;
    std::string prefix = path.substr(0, at);
    if (prefix.size() == 2 && prefix[1] == ':') continue;  // a drive, not a folder
    if (!CreateDirectoryW(wide(prefix).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_ACCESS_DENIED)
      return false;
  }
  DWORD attributes = attributesAt(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
  size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos && separator > 0 && !makeFolders(path.substr(0, separator)))
    return false;
  FILE* file = _wfopen(wide(path).c_str(), L"wb");
  if (!file) return false;
  bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && written;
}

bool writeSparseFile(const std::string& path, long long size,
                     const std::vector<FilePiece>& pieces) {
  // Shared as the copy's own open is, so that a test may change a source being copied.
  HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD bytes = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
  bool written = true;
  LARGE_INTEGER at;
  for (const FilePiece& piece : pieces) {
    at.QuadPart = piece.offset;
    DWORD done = 0;
    written = written && SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
              WriteFile(file, piece.bytes.data(), static_cast<DWORD>(piece.bytes.size()), &done,
                        nullptr) &&
              done == piece.bytes.size();
  }
  at.QuadPart = size;
  written = written && SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  return CloseHandle(file) && written;
}

bool readFileBytes(const std::string& path, std::string* bytes) {
  FILE* file = _wfopen(wide(path).c_str(), L"rb");
  if (!file) return false;
  bytes->clear();
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, got);
  bool ok = !ferror(file);
  fclose(file);
  return ok;
}

bool pathExists(const std::string& path) {
  return attributesAt(path) != INVALID_FILE_ATTRIBUTES;
}

bool makeHardLink(const std::string& target, const std::string& link) {
  WidePath wideTarget(target.c_str());
  WidePath wideLink(link.c_str());
  return wideTarget.text && wideLink.text && CreateHardLinkW(wideLink.text, wideTarget.text, nullptr);
}

bool makeSymlink(const std::string& target, const std::string& link) {
  // A relative target is taken from the link's folder, as on POSIX.
  std::string resolvedTarget = target;
  size_t separator = link.find_last_of("\\/");
  bool relative =
      target.empty() || !(isSeparator(target[0]) || (target.size() > 1 && target[1] == ':'));
  if (relative && separator != std::string::npos)
    resolvedTarget = link.substr(0, separator + 1) + target;
  DWORD attributes = attributesAt(resolvedTarget);
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), flags)) return false;
  // Some emulations of the call report success and make nothing.
  DWORD made = attributesAt(link);
  return made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Folders have no effective read-only state on Windows; only files change.
bool setWritable(const std::string& path, bool writable) {
  DWORD attributes = attributesAt(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  attributes =
      writable ? (attributes & ~FILE_ATTRIBUTE_READONLY) : (attributes | FILE_ATTRIBUTE_READONLY);
  return SetFileAttributesW(wide(path).c_str(), attributes) != 0;
}

std::vector<std::string> listFiles(const std::string& root) {
  std::vector<std::string> files;
  collectFiles(root, "", &files);
  std::sort(files.begin(), files.end());
  return files;
}

long long allocatedBytes(const std::string&) {
  return -1;
}

bool readFileTimes(const std::string& path, FileTimes* times) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return false;
  times->creation = units(data.ftCreationTime);
  times->lastAccess = units(data.ftLastAccessTime);
  times->lastWrite = units(data.ftLastWriteTime);
  return true;
}

bool makeFileWithLoneSurrogate(const std::string& folder) {
  std::wstring path = wide(folder) + L"\\lone-\xD800.txt";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  // The name must come back from a listing as it was made.
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return wcscmp(found.cFileName, L"lone-\xD800.txt") == 0;
}
