// Windows bodies of the platform operations: directory enumeration, threads, file
// times and single-file operations, through the narrow-character Win32 calls.
#include <direct.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace {
FileTime fromFiletime(const FILETIME& time) {
  return FileTime{time.dwLowDateTime, time.dwHighDateTime};
}

uint64_t wholeSize(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

// Opens path for reading its information only. A final link is followed unless
// ownLink is set; folders open too, thanks to the backup-semantics flag.
HANDLE openForInformation(const char* path, int ownLink) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

// Size and time of what a link to a file leads to; 1 when it leads nowhere or to a
// folder, so that it is left out of the listing as on every other platform.
int readLinkTarget(const char* path, uint64_t* size, FileTime* lastWrite) {
  HANDLE file = openForInformation(path, 0);
  if (file == INVALID_HANDLE_VALUE) return 1;
  BY_HANDLE_FILE_INFORMATION information;
  int failed = !GetFileInformationByHandle(file, &information) ||
               (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(file);
  if (failed) return 1;
  *size = wholeSize(information.nFileSizeHigh, information.nFileSizeLow);
  *lastWrite = fromFiletime(information.ftLastWriteTime);
  return 0;
}

// Forms directory + separator (unless it ends in one) + name in out; 1 when too long.
int joinInto(char* out, size_t outSize, const char* directory, const char* name) {
  size_t length = strlen(directory);
  int separator = length > 0 && directory[length - 1] != '\\' && directory[length - 1] != '/';
  size_t nameLength = strlen(name);
  if (length + separator + nameLength + 1 > outSize) return 1;
  memcpy(out, directory, length);
  if (separator) out[length++] = '\\';
  memcpy(out + length, name, nameLength + 1);
  return 0;
}

// Symbolic links, junctions and mount points stand for another place. Other reparse
// points (cloud-synced or deduplicated files and folders) are the thing itself and
// are listed like any other entry.
bool leadsElsewhere(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag);
}

// Gives one found record to the sink; returns 1 when it could not be examined.
int giveEntry(const char* directory, const WIN32_FIND_DATAA& found, DirectoryEntrySink sink,
              void* context) {
  // For a reparse point, the search record carries its tag in dwReserved0.
  bool link = leadsElsewhere(found.dwFileAttributes, found.dwReserved0);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A junction or a link to a folder may lead out of the tree or back up it.
    if (!link) sink(context, found.cFileName, 1, 0, FileTime{0, 0});
    return 0;
  }
  uint64_t size = wholeSize(found.nFileSizeHigh, found.nFileSizeLow);
  FileTime lastWrite = fromFiletime(found.ftLastWriteTime);
  if (link) {
    // The record describes the link itself; what is copied is its target.
    char fullPath[MAX_PATH];
    if (joinInto(fullPath, sizeof fullPath, directory, found.cFileName)) return 1;
    if (readLinkTarget(fullPath, &size, &lastWrite)) return 0;
  }
  sink(context, found.cFileName, 0, size, lastWrite);
  return 0;
}

// The attributes and reparse tag of the entry that path names itself; 1 when missing.
int readOwnEntry(const char* path, DWORD* attributes, DWORD* reparseTag) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return 1;
  FindClose(search);
  *attributes = found.dwFileAttributes;
  *reparseTag = found.dwReserved0;
  return 0;
}

// Why FindFirstFileA found nothing: an empty drive root has no "." entry to find.
int classifyFindFailure(const char* path, DWORD error) {
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return enumerateUnreadable;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return enumerateMissing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && error == ERROR_FILE_NOT_FOUND)
    return enumerateListed;
  return enumerateUnreadable;
}
}  // namespace

int enumerateDirectory(const char* path, DirectoryEntrySink sink, void* context) {
  // An empty path would search the current folder instead.
  if (path[0] == '\0') return enumerateMissing;
  char pattern[MAX_PATH];
  if (joinInto(pattern, sizeof pattern, path, "*.*")) return enumerateUnreadable;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return classifyFindFailure(path, GetLastError());
  int result = enumerateListed;
  do {
    if (giveEntry(path, found, sink, context)) result = enumerateBroken;
  } while (FindNextFileA(search, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) result = enumerateBroken;
  FindClose(search);
  return result;
}

// ---- Threads -------------------------------------------------------------------

struct PlatformThread {
  HANDLE handle;
  ThreadProc proc;
  void* argument;
};

namespace {
DWORD WINAPI threadTrampoline(LPVOID start) {
  PlatformThread* thread = static_cast<PlatformThread*>(start);
  return static_cast<DWORD>(thread->proc(thread->argument));
}
}  // namespace

PlatformThread* startThread(ThreadProc proc, void* argument) {
  PlatformThread* thread = new (std::nothrow) PlatformThread{nullptr, proc, argument};
  if (!thread) return nullptr;
  thread->handle = CreateThread(nullptr, 0, threadTrampoline, thread, 0, nullptr);
  if (!thread->handle) {
    delete thread;
    return nullptr;
  }
  return thread;
}

int waitThread(PlatformThread* thread, unsigned* result) {
  // After a failed wait the thread may still be using its record: keep it.
  if (WaitForSingleObject(thread->handle, INFINITE) != WAIT_OBJECT_0) return 1;
  DWORD code = 0;
  int failed = !GetExitCodeThread(thread->handle, &code);
  if (!failed) *result = static_cast<unsigned>(code);
  CloseHandle(thread->handle);
  delete thread;
  return failed;
}

// ---- Files and folders ---------------------------------------------------------

int setFileTimes(const char* path, FileTime time) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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
  return _mkdir(path) == 0 ? 0 : 1;
}

int deleteFile(const char* path) {
  return remove(path) == 0 ? 0 : 1;
}

int replaceFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : 1;
}

int moveFileIfAbsent(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) ? 0 : 1;
}

// A file link in the destination would make the copier write through it into
// whatever file it names, perhaps outside the destination tree.
static int removeLinkAt(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return 0;
  DWORD reparseTag = 0;
  if (readOwnEntry(path, &attributes, &reparseTag)) return 1;
  if (!leadsElsewhere(attributes, reparseTag)) return 0;
  return DeleteFileA(path) ? 0 : 1;
}

int checkReplaceable(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return replaceableFree;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return replaceableRefused;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (removeLinkAt(path) != 0) return replaceableLinkKept;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return replaceableFree;
  }
  return attributes & FILE_ATTRIBUTE_READONLY ? replaceableRefused : replaceableFile;
}

FILE* createFileForWriting(const char* path) {
  if (removeLinkAt(path) != 0) return nullptr;
  FILE* file = fopen(path, "wb");
  if (file) setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

int setOpenFileTimes(FILE*, FileTime) {
  // The times are set through a handle of their own once the streams are closed.
  return 1;
}

long long reserveRoomForRest(FILE*, FILE*, long long from) {
  // NTFS grows a file written in sequence well enough by itself.
  return from;
}

int releaseRoomAfter(FILE*, long long) {
  return 0;
}

int removeFolderLink(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  DWORD link = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & link) != link) return noFolderLink;
  DWORD reparseTag = 0;
  if (readOwnEntry(path, &attributes, &reparseTag)) return folderLinkKept;
  if (!leadsElsewhere(attributes, reparseTag)) return noFolderLink;
  // Removing the folder entry of a junction or folder link removes only the link.
  return RemoveDirectoryA(path) ? folderLinkRemoved : folderLinkKept;
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
