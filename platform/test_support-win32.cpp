// Windows bodies of the test helpers.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <algorithm>

#include "platform/test_support.h"

namespace {
bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

bool isLink(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Calls visit(name, attributes) for every entry of folder but "." and "..".
template <typename Visit>
void forEachEntry(const std::string& folder, Visit visit) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0)
      visit(std::string(found.cFileName), found.dwFileAttributes);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Removes a folder's contents; a junction or link to a folder is removed itself,
// never entered, so nothing outside the scratch folder is touched.
void removeContents(const std::string& folder) {
  forEachEntry(folder, [&](const std::string& name, DWORD attributes) {
    std::string path = folder + "\\" + name;
    if (attributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      DeleteFileA(path.c_str());
      return;
    }
    if (!isLink(attributes)) removeContents(path);
    RemoveDirectoryA(path.c_str());
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

// Quotes one argument so that the C runtime of the started program splits it back.
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote itself escaped.
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

HANDLE inheritable(HANDLE handle) {
  HANDLE copy = nullptr;
  if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

std::string readAll(HANDLE from) {
  std::string text;
  char buffer[4096];
  DWORD got;
  while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

// The program writes its console text in Windows line ends; the tests compare lines.
std::string withPlainLineEnds(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
  return plain;
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
    if (CreateDirectoryA(path.c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::string();
}

void removeScratchFolder(const std::string& path) {
  if (path.empty() || path.find("talven-test-") == std::string::npos) return;
  removeContents(path);
  RemoveDirectoryA(path.c_str());
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
    if (!CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_ACCESS_DENIED)
      return false;
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
  size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos && separator > 0 && !makeFolders(path.substr(0, separator)))
    return false;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) return false;
  bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && written;
}

bool readFileBytes(const std::string& path, std::string* bytes) {
  FILE* file = fopen(path.c_str(), "rb");
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
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool makeSymlink(const std::string& target, const std::string& link) {
  // A relative target is taken from the link's folder, as on POSIX.
  std::string resolvedTarget = target;
  size_t separator = link.find_last_of("\\/");
  bool relative =
      target.empty() || !(isSeparator(target[0]) || (target.size() > 1 && target[1] == ':'));
  if (relative && separator != std::string::npos)
    resolvedTarget = link.substr(0, separator + 1) + target;
  DWORD attributes = GetFileAttributesA(resolvedTarget.c_str());
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), flags)) return false;
  // Some emulations of the call report success and make nothing.
  DWORD made = GetFileAttributesA(link.c_str());
  return made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Folders have no effective read-only state on Windows; only files change.
bool setWritable(const std::string& path, bool writable) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  attributes =
      writable ? (attributes & ~FILE_ATTRIBUTE_READONLY) : (attributes | FILE_ATTRIBUTE_READONLY);
  return SetFileAttributesA(path.c_str(), attributes) != 0;
}

std::vector<std::string> listFiles(const std::string& root) {
  std::vector<std::string> files;
  collectFiles(root, "", &files);
  std::sort(files.begin(), files.end());
  return files;
}

// The build names the program by its path on the build machine; under Wine that
// machine's root is drive Z:.
std::string programPath() {
  std::string path = TALVEN_PROGRAM;
  if (path.empty() || path[0] != '/') return path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

int runProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
               std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -1;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE errors = inheritable(GetStdHandle(STD_ERROR_HANDLE));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = errors;
  std::string program = programPath();
  std::string commandLine = quoteArgument(program);
  for (const std::string& argument : arguments) commandLine += " " + quoteArgument(argument);
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessA(
      program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
      workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process);
  // Only the child may hold the write end now, so the read below ends with it.
  CloseHandle(writeEnd);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (errors) CloseHandle(errors);
  if (!started) {
    CloseHandle(readEnd);
    return -1;
  }
  std::string text = readAll(readEnd);
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (output) *output = withPlainLineEnds(text);
  return static_cast<int>(status);
}

long long allocatedBytes(const std::string&) {
  return -1;
}

bool readFileTimes(const std::string& path, FileTimes* times) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  times->creation = units(data.ftCreationTime);
  times->lastAccess = units(data.ftLastAccessTime);
  times->lastWrite = units(data.ftLastWriteTime);
  return true;
}

bool runningPrivileged() {
  return false;
}

// Dropping rights and mounting need an administrator here; the tests that need them skip.
int runUnprivileged(const std::string&, int (*)(void*), void*, std::string*) {
  return -1;
}

bool mountSmallFileSystem(const std::string&, int) {
  return false;
}

void unmountFileSystem(const std::string&) {}
