// Windows: the lock that keeps a second run off a destination. Named mutexes make
// it: one after the folder's volume and file index, which every name of it shares
// (a junction, a substituted drive), and one for each existing folder on the way up
// to the drive's root, after the folder's identity and the names below it down to
// the destination, which need no destination folder: they also guard one that the
// copies are still to create, and two runs whose paths pass through one folder
// under any name meet at the deepest folder that existed when the first started.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <initializer_list>

#include "platform/platform.h"
#include "platform/utf16-win32.h"

namespace {
// Folders on the way up that name a place: a run that made more folders than this
// below the deepest one that existed before it is not met by name.
constexpr int mostPlaces = 64;

// Owned until released, and abandoned by the system when the process ends without
// releasing them.
HANDLE folderMutex = nullptr;
HANDLE placeMutexes[mostPlaces];
int placeMutexCount = 0;

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

// Reads the identity of the folder at path, links followed; 0 when it is a folder,
// else a DestinationLockResult.
int folderIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* information) {
  WidePath wide(path);
  if (!wide.text) return destinationNotLocked;
  HANDLE folder = CreateFileW(wide.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    DWORD reason = GetLastError();
    return reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND ? destinationMissing
                                                                            : destinationNotLocked;
  }
  int found = GetFileInformationByHandle(folder, information) &&
              (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(folder);
  return found ? 0 : destinationNotLocked;
}

// The mutex of the folder's identity, so that every name of one folder leads to
// one lock.
int lockFolder(const char* path) {
  BY_HANDLE_FILE_INFORMATION information;
  int read = folderIdentity(path, &information);
  if (read != 0) return read;
  char name[64];
  snprintf(name, sizeof name, "%08lx-%08lx%08lx", information.dwVolumeSerialNumber,
           information.nFileIndexHigh, information.nFileIndexLow);
  return takeMutex(name, &folderMutex);
}

// FNV-1a over a folder's identity and the names below it, letters folded as the
// system compares names.
uint64_t placeHash(const BY_HANDLE_FILE_INFORMATION& folder, const char* below, size_t length) {
  uint64_t hash = 14695981039346656037ULL;
  DWORD identity[3] = {folder.dwVolumeSerialNumber, folder.nFileIndexHigh, folder.nFileIndexLow};
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(identity);
  for (size_t at = 0; at < sizeof identity; ++at) hash = (hash ^ bytes[at]) * 1099511628211ULL;
  for (size_t at = 0; at < length;) {
    char folded[3];
    size_t foldedLength;
    at += foldKeyCharacter(below + at, length - at, folded, &foldedLength);
    for (size_t k = 0; k < foldedLength; ++k) {
      char c = folded[k] == '/' ? '\\' : folded[k];
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
  }
  return hash;
}

// Takes the mutex of each place of the resolved path in work, end bytes long, from
// the destination up; a DestinationLockResult.
int lockPlaces(char* work, size_t end) {
  size_t length = end;
  int result = destinationNotLocked;
  while (end > 0 && placeMutexCount < mostPlaces) {
    char kept = work[end];
    work[end] = '\0';
    BY_HANDLE_FILE_INFORMATION folder;
    int read = folderIdentity(work, &folder);
    work[end] = kept;
    // A volume without a serial (each tmpfs of the host under Wine) names no place:
    // folders of two such volumes would share their names.
    if (read == 0 && folder.dwVolumeSerialNumber != 0) {
      char name[32];
      snprintf(name, sizeof name, "place-%016llx",
               static_cast<unsigned long long>(placeHash(folder, work + end, length - end)));
      int placed = takeMutex(name, &placeMutexes[placeMutexCount]);
      if (placed == destinationBusy) return destinationBusy;
      if (placed == destinationLocked) {
        ++placeMutexCount;
        result = destinationLocked;
      }
    }
    // Up one folder; a drive's or share's root keeps its separator.
    size_t cut = end;
    while (cut > 0 && !isPathSeparator(work[cut - 1])) --cut;
    while (cut > 1 && isPathSeparator(work[cut - 1]) && !isPathSeparator(work[cut - 2]) &&
           work[cut - 2] != ':')
      --cut;
    if (cut == 0 || cut == end) break;
    end = cut;
  }
  return result;
}

// The mutexes of the destination's places, on its resolved path.
int lockName(const char* path) {
  size_t length = strlen(path);
  char* work = static_cast<char*>(malloc(2 * static_cast<size_t>(pathBufferSize) + 2));
  if (!work) return destinationNotLocked;
  char* resolved = work + pathBufferSize + 2;
  memcpy(work, path, length);
  memcpy(work + length, "\\", 2);
  int result = destinationNotLocked;
  if (length + 2 <= static_cast<size_t>(pathBufferSize) &&
      resolveFullPath(work, resolved, pathBufferSize) == 0) {
    size_t end = strlen(resolved);
    while (end > 0 && isPathSeparator(resolved[end - 1])) --end;
    result = lockPlaces(resolved, end);
  }
  free(work);
  return result;
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
  if (folderMutex) {
    ReleaseMutex(folderMutex);
    CloseHandle(folderMutex);
    folderMutex = nullptr;
  }
  for (int i = 0; i < placeMutexCount; ++i) {
    ReleaseMutex(placeMutexes[i]);
    CloseHandle(placeMutexes[i]);
  }
  placeMutexCount = 0;
}
