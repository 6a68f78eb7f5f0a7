// Windows: the lock that keeps a second run off a destination, and the removal of a
// destination root that a stopped run made itself.
#include <stdio.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/utf16-win32.h"

namespace {
// The mutex named after the locked folder's identity; owned until released, and
// abandoned by the system when the process ends without releasing it.
HANDLE lockMutex = nullptr;

// A named mutex in the global namespace, so that runs of other sessions see it too;
// the session's own where the global one cannot be made.
HANDLE openNamedMutex(const FileIdentity& identity) {
  const wchar_t* spaces[2] = {L"Global\\", L"Local\\"};
  for (const wchar_t* space : spaces) {
    wchar_t name[96];
    _snwprintf(name, sizeof name / sizeof name[0], L"%lstalven-destination-%016llx-%016llx", space,
               static_cast<unsigned long long>(identity.volume),
               static_cast<unsigned long long>(identity.index));
    name[sizeof name / sizeof name[0] - 1] = L'\0';
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex) return mutex;
  }
  return nullptr;
}

// Identity of the folder at path, links followed as POSIX open follows them, so that
// every name of one folder leads to one lock. Returns a DestinationLockResult.
int folderIdentity(const char* path, FileIdentity* identity) {
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
  identity->volume = information.dwVolumeSerialNumber;
  identity->index =
      (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  return destinationLocked;
}
}  // namespace

int lockDestination(const char* path) {
  unlockDestination();
  FileIdentity identity;
  int found = folderIdentity(path, &identity);
  if (found != destinationLocked) return found;
  HANDLE mutex = openNamedMutex(identity);
  if (!mutex) return destinationNotLocked;
  // Abandoned: the run that held it ended without releasing it; it is ours now.
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    lockMutex = mutex;
    return destinationLocked;
  }
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? destinationBusy : destinationNotLocked;
}

void unlockDestination() {
  if (!lockMutex) return;
  ReleaseMutex(lockMutex);
  CloseHandle(lockMutex);
  lockMutex = nullptr;
}

int removeEmptyFolder(const char* path) {
  WidePath wide(path);
  return wide.text && RemoveDirectoryW(wide.text) ? 0 : 1;
}
