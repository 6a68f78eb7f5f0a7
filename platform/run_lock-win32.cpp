// Windows: the lock that keeps a second run off a destination. Two named mutexes
// make it: one after the folder's volume and file index, which every name of it
// shares (a junction, a substituted drive), and one after its resolved path, which
// needs no folder: it also guards a destination that the copies are still to create.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <initializer_list>

#include "platform/platform.h"
#include "platform/utf16-win32.h"

namespace {
// Owned until released, and abandoned by the system when the process ends without
// releasing them.
HANDLE folderMutex = nullptr;
HANDLE pathMutex = nullptr;

// Takes the mutex of that name, in the global namespace so that runs of other
// sessions see it, in the session's own where the global one cannot be made.
int takeMutex(const char* name, HANDLE* held) {
  for (const char* space : {"Global\\", "Local\\"}) {
    wchar_t wide[128];
    _snwprintf(wide, sizeof wide / sizeof wide[0], L"%hstalven-destination-%hs", space, name);
    wide[sizeof wide / sizeof wide[0] - 1] = L'\0';
    HANDLE mutex = CreateMutexW(nullptr, FALSE, wide);
    if (!mutex) continue;
    // Abandoned: the run that held it ended without releasing it; it is ours now.
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      *held = mutex;
      return destinationLocked;
    }
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? destinationBusy : destinationNotLocked;
  }
  return destinationNotLocked;
}

// The mutex of the folder's identity, links followed, so that every name of one
// folder leads to one lock.
int lockFolder(const char* path) {
  WidePath wide(path);
  if (!wide.text) return destinationNotLocked;
  HANDLE folder = CreateFileW(wide.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    DWORD reason = GetLastError();
    return reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND ? destinationMissing
                                                                            : destinationNotLocked;
  }
  BY_HANDLE_FILE_INFORMATION information;
  int found = GetFileInformationByHandle(folder, &information) &&
              (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(folder);
  if (!found) return destinationNotLocked;
  char name[64];
  snprintf(name, sizeof name, "%08lx-%08lx%08lx", information.dwVolumeSerialNumber,
           information.nFileIndexHigh, information.nFileIndexLow);
  return takeMutex(name, &folderMutex);
}

// The mutex of the resolved path, letters folded as the system compares names.
int lockName(const char* path) {
  size_t length = strlen(path);
  char* work = static_cast<char*>(malloc(2 * static_cast<size_t>(pathBufferSize) + 2));
  if (!work) return destinationNotLocked;
  char* resolved = work + pathBufferSize + 2;
  memcpy(work, path, length);
  memcpy(work + length, "\\", 2);
  int failed = length + 2 > static_cast<size_t>(pathBufferSize) ||
               resolveFullPath(work, resolved, pathBufferSize) != 0;
  uint64_t hash = 14695981039346656037ULL;
  size_t end = failed ? 0 : strlen(resolved);
  while (end > 0 && isPathSeparator(resolved[end - 1])) --end;
  for (size_t at = 0; at < end;) {
    char folded[3];
    size_t foldedLength;
    at += foldKeyCharacter(resolved + at, end - at, folded, &foldedLength);
    for (size_t k = 0; k < foldedLength; ++k) {
      char c = folded[k] == '/' ? '\\' : folded[k];
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
  }
  free(work);
  if (failed) return destinationNotLocked;
  char name[32];
  snprintf(name, sizeof name, "path-%016llx", static_cast<unsigned long long>(hash));
  return takeMutex(name, &pathMutex);
}
}  // namespace

int lockDestination(const char* path) {
  unlockDestination();
  int byName = lockName(path);
  int byFolder = byName == destinationBusy ? destinationNotLocked : lockFolder(path);
  if (byName == destinationBusy || byFolder == destinationBusy) {
    unlockDestination();
    return destinationBusy;
  }
  if (byFolder == destinationMissing) return byName == destinationLocked ? byName : byFolder;
  return byFolder == destinationLocked || byName == destinationLocked ? destinationLocked
                                                                      : destinationNotLocked;
}

void unlockDestination() {
  for (HANDLE* held : {&folderMutex, &pathMutex}) {
    if (!*held) continue;
    ReleaseMutex(*held);
    CloseHandle(*held);
    *held = nullptr;
  }
}
