// Windows bodies of the platform operations: directory enumeration and threads.
// Paths are UTF-8 here and reach the system through the wide calls, in their long
// (\\?\) form, so that any name and any length that the system allows can be used.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <winternl.h>

#include <new>

#include "platform/entries-win32.h"
#include "platform/platform.h"
#include "platform/utf16-win32.h"

HANDLE openWideForInformation(const wchar_t* path, int ownLink) {
  if (!path) return INVALID_HANDLE_VALUE;
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

HANDLE openForInformation(const char* path, int ownLink) {
  WidePath wide(path);
  return openWideForInformation(wide.text, ownLink);
}

DWORD attributesOf(const char* path) {
  WidePath wide(path);
  return wide.text ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
}

int readOwnEntry(const char* path, DWORD* attributes, DWORD* reparseTag) {
  WidePath wide(path);
  if (!wide.text) return 1;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide.text, &found);
  if (search == INVALID_HANDLE_VALUE) return 1;
  FindClose(search);
  *attributes = found.dwFileAttributes;
  *reparseTag = found.dwReserved0;
  return 0;
}

namespace {
// Size and time of what a link to a file leads to; 1 when it leads nowhere or to a
// folder, so that it is left out of the listing as on every other platform.
int readLinkTarget(const wchar_t* path, uint64_t* size, FileTime* lastWrite) {
  HANDLE file = openWideForInformation(path, 0);
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

// Forms directory + separator (unless it ends in one) + name in a new buffer.
wchar_t* joinWide(const wchar_t* directory, const wchar_t* name) {
  size_t length = wcslen(directory);
  int separator = length > 0 && directory[length - 1] != L'\\';
  size_t nameLength = wcslen(name);
  wchar_t* out =
      static_cast<wchar_t*>(malloc((length + separator + nameLength + 1) * sizeof(wchar_t)));
  if (!out) return nullptr;
  memcpy(out, directory, length * sizeof(wchar_t));
  if (separator) out[length++] = L'\\';
  memcpy(out + length, name, (nameLength + 1) * sizeof(wchar_t));
  return out;
}

// One entry as the folder's listing gives it: its name (name units, not terminated),
// attributes, reparse tag (for a reparse point), size and last-write time.
struct FoundEntry {
  const wchar_t* name;
  size_t nameUnits;
  DWORD attributes;
  DWORD reparseTag;
  uint64_t size;
  FileTime lastWrite;
};

// Gives one found record to the sink; returns 0, or the system's code of why it
// could not be examined.
DWORD giveEntry(const wchar_t* directory, const FoundEntry& found, DirectoryEntrySink sink,
                void* context) {
  wchar_t wideName[MAX_PATH];
  if (found.nameUnits >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  memcpy(wideName, found.name, found.nameUnits * sizeof(wchar_t));
  wideName[found.nameUnits] = L'\0';
  // A name of 255 units takes at most 765 bytes of UTF-8.
  char name[4 * MAX_PATH];
  int converted = narrowName(wideName, name, sizeof name);
  if (converted == narrowTooLong) return ERROR_FILENAME_EXCED_RANGE;
  if (converted == narrowUnconvertible) {
    sink(context, name, entryUnconvertible, 0, FileTime{0, 0});
    return 0;
  }
  bool link = leadsElsewhere(found.attributes, found.reparseTag);
  if (found.attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A junction or a link to a folder may lead out of the tree or back up it.
    if (!link) {
      bool reparse = found.attributes & FILE_ATTRIBUTE_REPARSE_POINT;
      sink(context, name, reparse ? entryReparseFolder : 1, 0, FileTime{0, 0});
    }
    return 0;
  }
  uint64_t size = found.size;
  FileTime lastWrite = found.lastWrite;
  if (link) {
    // The record describes the link itself; what is copied is its target.
    wchar_t* fullPath = joinWide(directory, wideName);
    if (!fullPath) return ERROR_NOT_ENOUGH_MEMORY;
    int leadsNowhere = readLinkTarget(fullPath, &size, &lastWrite);
    free(fullPath);
    if (leadsNowhere) return 0;
  }
  sink(context, name, 0, size, lastWrite);
  return 0;
}

// The identity of the folder open at handle; 1 where it cannot be read. A volume
// without a serial number tells no identity: Wine gives serial 0 to every file
// system the host mounts without a device (each tmpfs), whose folders would then
// share identities.
int readFolderIdentity(HANDLE handle, FileIdentity* folder) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information) || information.dwVolumeSerialNumber == 0)
    return 1;
  folder->volume = information.dwVolumeSerialNumber;
  folder->index = wholeSize(information.nFileIndexHigh, information.nFileIndexLow);
  return 0;
}

typedef LONG(WINAPI* QueryInformationFile)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
// The system's own query, whose class FileInternalInformation gives a file's index
// alone.
constexpr int fileInternalInformation = 6;

// Whether the folder open at handle is the watched one. Its file index comes first,
// alone: the volume's serial number, which the system reads from the volume (Wine
// from its mount manager, a hundred times slower than the index), is read only for
// a folder whose index is the watched one's.
int isWatchedFolder(HANDLE handle, const FileIdentity& watched) {
  static const QueryInformationFile query =
      reinterpret_cast<QueryInformationFile>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  IO_STATUS_BLOCK status;
  LARGE_INTEGER index;
  if (query && query(handle, &status, &index, sizeof index, fileInternalInformation) >= 0 &&
      static_cast<uint64_t>(index.QuadPart) != watched.index)
    return 0;
  FileIdentity listed;
  return readFolderIdentity(handle, &listed) == 0 && sameFileIdentity(listed, watched);
}

// Gives every record of one batch of the listing to the sink; 0, or the system's
// code of the first that could not be examined.
DWORD giveBatch(const wchar_t* directory, const unsigned char* batch, DirectoryEntrySink sink,
                void* context) {
  DWORD failed = 0;
  for (const unsigned char* at = batch;;) {
    const FILE_FULL_DIR_INFO* record = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
    // For a reparse point, the listing carries its tag in place of the size of its
    // extended attributes.
    FileTime lastWrite = {record->LastWriteTime.LowPart,
                          static_cast<uint32_t>(record->LastWriteTime.HighPart)};
    FoundEntry found = {
        record->FileName, record->FileNameLength / sizeof(wchar_t),          record->FileAttributes,
        record->EaSize,   static_cast<uint64_t>(record->EndOfFile.QuadPart), lastWrite};
    DWORD code = giveEntry(directory, found, sink, context);
    if (code != 0 && failed == 0) failed = code;
    if (record->NextEntryOffset == 0) return failed;
    at += record->NextEntryOffset;
  }
}

// The reason a folder open at handle gave none of its entries: a file is no folder.
DWORD firstBatchFailure(HANDLE handle, DWORD error) {
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information) &&
      !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return ERROR_DIRECTORY;
  return error;
}

// Gives every batch of the listing open at handle to the sink; an EnumerateResult,
// with the system's code of a failure in *failure.
int giveBatches(HANDLE handle, const wchar_t* directory, DirectoryEntrySink sink, void* context,
                DWORD* failure) {
  constexpr DWORD batchSize = 64 * 1024;
  unsigned char* batch = static_cast<unsigned char*>(malloc(batchSize));
  if (!batch) {
    *failure = ERROR_NOT_ENOUGH_MEMORY;
    return enumerateUnreadable;
  }
  int result = enumerateListed;
  for (bool first = true;; first = false) {
    if (!GetFileInformationByHandleEx(handle, FileFullDirectoryInfo, batch, batchSize)) {
      DWORD error = GetLastError();
      // An empty drive root has not even "." to give; a file is no folder to list.
      if (first && error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) {
        *failure = firstBatchFailure(handle, error);
        result = enumerateUnreadable;
      } else if (!first && error != ERROR_NO_MORE_FILES) {
        if (result == enumerateListed) *failure = error;
        result = enumerateBroken;
      }
      break;
    }
    // The first entry that could not be examined gives the reason.
    DWORD code = giveBatch(directory, batch, sink, context);
    if (code != 0 && result == enumerateListed) {
      *failure = code;
      result = enumerateBroken;
    }
  }
  free(batch);
  return result;
}

// Lists the folder through a handle of its own, which also tells its identity: a
// search handle (FindFirstFileW) tells none, and a second open of each folder for it
// would cost a listing of many small folders a good part of its time.
int listWide(const wchar_t* directory, DirectoryEntrySink sink, void* context,
             const FileIdentity* watched, int* isWatched, DWORD* failure) {
  HANDLE handle = CreateFileW(directory, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *failure = error;
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? enumerateMissing
                                                                          : enumerateUnreadable;
  }
  if (watched && isWatched) *isWatched = isWatchedFolder(handle, *watched);
  int result = giveBatches(handle, directory, sink, context, failure);
  CloseHandle(handle);
  return result;
}
}  // namespace

int enumerateDirectory(const char* path, DirectoryEntrySink sink, void* context,
                       const FileIdentity* watched, int* isWatched, int* failure) {
  if (isWatched) *isWatched = 0;
  DWORD code = ERROR_PATH_NOT_FOUND;
  int result = enumerateMissing;
  // An empty path would search the current folder instead.
  if (path[0] != '\0') {
    WidePath directory(path);
    if (!directory.text) {
      code = GetLastError();  // the name's own fault, set by WidePath
      result = enumerateUnreadable;
    } else {
      result = listWide(directory.text, sink, context, watched, isWatched, &code);
    }
  }
  if (failure) *failure = result == enumerateListed ? 0 : static_cast<int>(code);
  return result;
}

namespace {
struct ListingAdapter {
  ListedEntrySink sink;
  void* context;
};

void giveListed(void* context, const char* name, int isDirectory, uint64_t size,
                FileTime lastWrite) {
  const ListingAdapter* adapter = static_cast<const ListingAdapter*>(context);
  ListedEntry entry = {name, isDirectory, size, lastWrite, 1, FileIdentity{0, 0}, nullptr};
  adapter->sink(adapter->context, &entry);
}
}  // namespace

int listDirectory(const char* path, int asIs, ListedEntrySink sink, void* context,
                  const FileIdentity* watched, int* isWatched, int* failure) {
  (void)asIs;
  ListingAdapter adapter = {sink, context};
  return enumerateDirectory(path, giveListed, &adapter, watched, isWatched, failure);
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

struct PlatformLock {
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
};

PlatformLock* createLock() {
  PlatformLock* lock = static_cast<PlatformLock*>(malloc(sizeof(PlatformLock)));
  if (!lock) return nullptr;
  InitializeSRWLock(&lock->lock);
  InitializeConditionVariable(&lock->condition);
  return lock;
}

void destroyLock(PlatformLock* lock) {
  free(lock);
}

void takeLock(PlatformLock* lock) {
  AcquireSRWLockExclusive(&lock->lock);
}

void releaseLock(PlatformLock* lock) {
  ReleaseSRWLockExclusive(&lock->lock);
}

void waitOnLock(PlatformLock* lock) {
  SleepConditionVariableSRW(&lock->condition, &lock->lock, INFINITE, 0);
}

void wakeLockWaiters(PlatformLock* lock) {
  WakeAllConditionVariable(&lock->condition);
}

int usableProcessors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int count = 0;
    for (; process; process &= process - 1) ++count;
    return count;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}
