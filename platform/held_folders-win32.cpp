// Windows bodies of the folders a run holds from its start: each opened once by the
// path the user gave and held without delete sharing, so that it can be neither
// renamed, nor removed, nor replaced by a link while the run goes on. Windows gives
// ordinary programs no calls relative to a handle: the folders below are reached by
// their full paths while the one above them is held.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "platform/folders.h"
#include "platform/utf16-win32.h"

namespace {
bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Opens a folder (an access that takes part in sharing), sharing everything but
// deletion; a reparse point is opened itself unless follow is set.
HANDLE openHeld(const char* path, int follow) {
  WidePath wide(path);
  if (!wide.text) return INVALID_HANDLE_VALUE;
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileW(wide.text, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// True when handle is a folder and no reparse point.
bool isPlainFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(handle, &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The length of path's first end bytes as the name of a folder, where path[end] is a
// separator or its end: a drive keeps its separator, since "C:" alone names the
// current folder of drive C, not its root.
size_t folderNameLength(const char* path, size_t end) {
  return end > 0 && path[end - 1] == ':' && path[end] != '\0' ? end + 1 : end;
}

// Holds the folder at prefix, a new level below what is held: never a reparse point.
int holdLevel(HeldFolder* held, const char* prefix, size_t length) {
  HANDLE folder = openHeld(prefix, 0);
  if (folder == INVALID_HANDLE_VALUE) return folderRefused;
  if (!isPlainFolder(folder)) {
    CloseHandle(folder);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return folderRefused;
  }
  CloseHandle(reinterpret_cast<HANDLE>(held->handle));
  held->handle = reinterpret_cast<FolderHandle>(folder);
  held->heldLength = length;
  return folderDone;
}

// The final path of what handle stands for, in UTF-8; 0 when written.
int finalPathOf(FolderHandle handle, char* out, size_t outSize) {
  HANDLE folder = reinterpret_cast<HANDLE>(handle);
  DWORD size = GetFinalPathNameByHandleW(folder, nullptr, 0, FILE_NAME_NORMALIZED);
  wchar_t* final = size ? static_cast<wchar_t*>(malloc(size * sizeof(wchar_t))) : nullptr;
  DWORD length = final ? GetFinalPathNameByHandleW(folder, final, size, FILE_NAME_NORMALIZED) : 0;
  int failed = length == 0 || length >= size || narrowPath(final, length, out, outSize);
  free(final);
  return failed;
}
}  // namespace

int holdFolder(HeldFolder* held, const char* path) {
  *held = HeldFolder{noFolder, _strdup(path), 0};
  if (!held->path) return folderRefused;
  size_t length = strlen(path);
  char* prefix = static_cast<char*>(malloc(length + 1));
  if (!prefix) return folderRefused;
  memcpy(prefix, path, length + 1);
  int result = folderRefused;
  for (size_t end = length; end > 0; --end) {
    if (end < length && !isPathSeparator(path[end])) continue;
    size_t cut = folderNameLength(path, end);
    memcpy(prefix, path, cut);
    prefix[cut] = '\0';
    HANDLE folder = openHeld(prefix, 1);
    if (folder != INVALID_HANDLE_VALUE) {
      held->handle = reinterpret_cast<FolderHandle>(folder);
      held->heldLength = end;
      result = end == length ? folderDone : folderMissing;
      break;
    }
    if (!isMissing(GetLastError())) break;
  }
  free(prefix);
  return result;
}

int makeHeldFolder(HeldFolder* held) {
  checkWholePathChange(__func__);
  if (held->handle == noFolder) return folderRefused;
  size_t length = strlen(held->path);
  char* prefix = static_cast<char*>(malloc(length + 1));
  if (!prefix) return folderRefused;
  memcpy(prefix, held->path, length + 1);
  int result = folderDone;
  for (size_t end = held->heldLength + 1; end <= length && result == folderDone; ++end) {
    if (end < length && !isPathSeparator(prefix[end])) continue;
    if (isPathSeparator(prefix[end - 1])) continue;
    char kept = prefix[end];
    prefix[end] = '\0';
    WidePath wide(prefix);
    if (!wide.text ||
        (!CreateDirectoryW(wide.text, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS))
      result = folderRefused;
    else
      result = holdLevel(held, prefix, end);
    prefix[end] = kept;
  }
  free(prefix);
  return result;
}

int makeNewHeldFolder(const HeldFolder* parent, const char* name, HeldFolder* made) {
  checkWholePathChange(__func__);
  *made = HeldFolder{noFolder, nullptr, 0};
  if (parent->handle == noFolder || parent->heldLength != strlen(parent->path))
    return folderRefused;
  size_t length = strlen(parent->path) + 1 + strlen(name);
  made->path = static_cast<char*>(malloc(length + 1));
  if (!made->path) return folderRefused;
  snprintf(made->path, length + 1, "%s%c%s", parent->path, pathSeparator, name);
  WidePath wide(made->path);
  if (!wide.text || !CreateDirectoryW(wide.text, nullptr)) {
    DWORD error = GetLastError();
    releaseHeldFolder(made);
    SetLastError(error);
    return folderRefused;
  }
  HANDLE folder = openHeld(made->path, 0);
  if (folder == INVALID_HANDLE_VALUE || !isPlainFolder(folder)) {
    DWORD error = GetLastError();
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
    releaseHeldFolder(made);
    SetLastError(error);
    return folderRefused;
  }
  made->handle = reinterpret_cast<FolderHandle>(folder);
  made->heldLength = length;
  return folderDone;
}

int removeEmptyHeldFolder(const HeldFolder* parent, const char* name) {
  checkWholePathChange(__func__);
  if (parent->handle == noFolder) return 1;
  char* path = static_cast<char*>(malloc(strlen(parent->path) + 2 + strlen(name)));
  if (!path) return 1;
  sprintf(path, "%s%c%s", parent->path, pathSeparator, name);
  WidePath wide(path);
  free(path);
  // RemoveDirectoryW takes no folder that holds anything, nor a reparse point's target.
  return wide.text && RemoveDirectoryW(wide.text) ? 0 : 1;
}

void releaseHeldFolder(HeldFolder* held) {
  if (held->handle != noFolder) CloseHandle(reinterpret_cast<HANDLE>(held->handle));
  free(held->path);
  *held = HeldFolder{noFolder, nullptr, 0};
}

int heldFolderIdentity(const HeldFolder* held, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (held->handle == noFolder ||
      !GetFileInformationByHandle(reinterpret_cast<HANDLE>(held->handle), &information))
    return 1;
  identity->volume = information.dwVolumeSerialNumber;
  identity->index =
      (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  return 0;
}

int heldFolderLiesWithin(const HeldFolder* held, const FileIdentity& outer) {
  if (held->handle == noFolder) return 0;
  char* final = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  int within = 0;
  if (final && finalPathOf(held->handle, final, static_cast<size_t>(pathBufferSize)) == 0) {
    // The folders on the way down to it, by the name of its final path.
    for (size_t end = strlen(final); end > 0 && !within; --end) {
      if (end < strlen(final) && !isPathSeparator(final[end])) continue;
      size_t cut = folderNameLength(final, end);
      char kept = final[cut];
      final[cut] = '\0';
      FileIdentity identity;
      within = fileIdentity(final, &identity) == 0 && sameFileIdentity(identity, outer);
      final[cut] = kept;
    }
  }
  free(final);
  return within;
}

FILE* openLogIn(const HeldFolder* folder, const char* name) {
  checkWholePathChange(__func__);
  if (folder->handle == noFolder || folder->heldLength != strlen(folder->path)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  size_t length = strlen(folder->path) + 2 + strlen(name);
  char* path = static_cast<char*>(malloc(length));
  if (!path) return nullptr;
  snprintf(path, length, "%s%c%s", folder->path, pathSeparator, name);
  WidePath wide(path);
  free(path);
  if (!wide.text) return nullptr;
  // A handle that may only append: the system then puts every write whole at the
  // file's end, whatever other processes append (appendToFile makes the CR LF).
  HANDLE handle = CreateFileW(wide.text, FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(descriptor, "ab");
  if (!file) _close(descriptor);
  return file;
}

int tryMoveBetween(const HeldFolder* from, const HeldFolder* into) {
  checkWholePathChange(__func__);
  if (from->handle == noFolder || into->handle == noFolder) return ERROR_INVALID_HANDLE;
  char name[64];
  snprintf(name, sizeof name, ".talven-backup-probe-%lu",
           static_cast<unsigned long>(GetCurrentProcessId()));
  size_t fromLength = strlen(from->path) + 2 + strlen(name);
  size_t intoLength = strlen(into->path) + 2 + strlen(name);
  char* fromPath = static_cast<char*>(malloc(fromLength));
  char* intoPath = static_cast<char*>(malloc(intoLength));
  int failure = ERROR_NOT_ENOUGH_MEMORY;
  if (fromPath && intoPath) {
    snprintf(fromPath, fromLength, "%s%c%s", from->path, pathSeparator, name);
    snprintf(intoPath, intoLength, "%s%c%s", into->path, pathSeparator, name);
    WidePath fromWide(fromPath), intoWide(intoPath);
    HANDLE probe = fromWide.text ? CreateFileW(fromWide.text, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr)
                                 : INVALID_HANDLE_VALUE;
    failure = probe == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    if (probe != INVALID_HANDLE_VALUE) {
      CloseHandle(probe);
      // A rename, never a copy: as the moves of the run are.
      int moved = intoWide.text && MoveFileExW(fromWide.text, intoWide.text, 0);
      failure = moved ? 0 : static_cast<int>(GetLastError());
      if (!DeleteFileW(moved ? intoWide.text : fromWide.text) && failure == 0)
        failure = static_cast<int>(GetLastError());
    }
  }
  free(fromPath);
  free(intoPath);
  return failure;
}
