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

namespace {
// How one listing goes: the folder's wide path, the ways asked for (listLinksAsIs,
// ...), the sink, and room for one link's target (with listLinksAsIs).
struct WideListing {
  const wchar_t* directory;
  int asIs;
  ListedEntrySink sink;
  void* context;
  char* target;
};

// One entry as the folder's listing gives it: its name (name units, not terminated),
// attributes, reparse tag (for a reparse point), size, last-write and change time.
struct FoundEntry {
  const wchar_t* name;
  size_t nameUnits;
  DWORD attributes;
  DWORD reparseTag;
  uint64_t size;
  FileTime lastWrite;
  FileTime changeTime;
};

// A time as the system's records give it, in 100 ns units since 1601.
FileTime fileTimeOf(const LARGE_INTEGER& time) {
  return FileTime{time.LowPart, static_cast<uint32_t>(time.HighPart)};
}

bool isDots(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
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

// A file's names (listFileLinks). The folder's listing does not tell them: each file is
// opened, itself and never what a reparse point leads to, and asked. That is one open
// per file, made only where the run keeps names of one file together (--exact,
// --preserve=hardlinks). The count alone is one cheap query; the identity, which asks
// for the volume's serial number too, is read only where there are more names. 0, or
// the system's code of why the file could not be examined.
DWORD readFileNames(const wchar_t* path, ListedEntry* listed) {
  HANDLE file = CreateFileW(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD code = 0;
  FILE_STANDARD_INFO standard;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
    code = GetLastError();
  } else if (standard.NumberOfLinks > 1) {
    if (GetFileInformationByHandle(file, &information)) {
      listed->links = standard.NumberOfLinks;
      listed->identity = {information.dwVolumeSerialNumber,
                          wholeSize(information.nFileIndexHigh, information.nFileIndexLow)};
    } else {
      code = GetLastError();
    }
  }
  CloseHandle(file);
  return code;
}

bool isGone(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The metadata that the listing gives with listMetadata: the kept attributes and
// the change time, from the folder's own records.
void giveMetadata(int asIs, DWORD attributes, FileTime changeTime, ListedEntry* listed) {
  if (!(asIs & listMetadata)) return;
  listed->metadata.attributes = attributes & keptAttributes;
  listed->metadata.changeTime = changeTime;
}

// What a link to a file leads to: its size, time and names, the entry then given as
// that file (with listMetadata, the file's metadata too). 0 also where it leads to a
// folder or nowhere (the entry stays a link); the system's code where the target
// exists but may not be examined.
DWORD readFollowed(const wchar_t* path, int asIs, ListedEntry* listed) {
  HANDLE file = openWideForInformation(path, 0);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : 0;
  BY_HANDLE_FILE_INFORMATION information;
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandle(file, &information) &&
      !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    listed->kind = entryFile;
    listed->size = wholeSize(information.nFileSizeHigh, information.nFileSizeLow);
    listed->lastWrite = fromFiletime(information.ftLastWriteTime);
    listed->links = information.nNumberOfLinks > 0 ? information.nNumberOfLinks : 1;
    if ((asIs & listFileLinks) && listed->links > 1)
      listed->identity = {information.dwVolumeSerialNumber,
                          wholeSize(information.nFileIndexHigh, information.nFileIndexLow)};
    if ((asIs & listMetadata) &&
        GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
      giveMetadata(asIs, basic.FileAttributes, fileTimeOf(basic.ChangeTime), listed);
  }
  CloseHandle(file);
  return 0;
}

// A link as the default listing takes it: one to a file stands for that file; one to
// a folder is never walked and a broken one is nothing to copy: both are given as
// links, for the walk to count. A target that may not be examined may be a file: the
// listing is not whole without it.
DWORD followLink(const WideListing& listing, const FoundEntry& found, const wchar_t* path,
                 ListedEntry* listed) {
  listed->kind = entryLink;
  if (!(found.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DWORD code = readFollowed(path, listing.asIs, listed);
    if (code != 0) return code;
  }
  listing.sink(listing.context, listed);
  return 0;
}

// A symbolic link or junction given as it is (listLinksAsIs): its own size and time
// and its target as stored, never followed. A link of another kind (a name surrogate
// whose target no link made here could carry) is given as neither file nor folder.
DWORD giveLinkAsIs(const WideListing& listing, const FoundEntry& found, const wchar_t* path,
                   ListedEntry* listed) {
  listed->kind = entryOther;
  if (isLinkTag(found.reparseTag)) {
    size_t length = 0;
    DWORD code = readStoredTarget(path, listing.target, &length);
    if (code != 0) return isGone(code) ? 0 : code;  // gone since: nothing to list
    listed->kind = entryLink;
    listed->size = length;
    listed->lastWrite = found.lastWrite;
    listed->target = listing.target;
  }
  listing.sink(listing.context, listed);
  return 0;
}

// "." and ".." are given as they always were: folders without a time, never examined.
DWORD giveDots(const WideListing& listing, size_t units) {
  ListedEntry dots = {
      units == 1 ? "." : "..", entryFolder, 0, FileTime{0, 0}, 1, FileIdentity{0, 0}, nullptr,
      EntryMetadata{}};
  listing.sink(listing.context, &dots);
  return 0;
}

// readFileNames for the entry name of the folder listed.
DWORD readFileNamesIn(const WideListing& listing, const wchar_t* name, ListedEntry* listed) {
  wchar_t* path = joinWide(listing.directory, name);
  DWORD code = path ? readFileNames(path, listed) : ERROR_NOT_ENOUGH_MEMORY;
  free(path);
  return code;
}

// Gives one found record to the sink as listing asks; returns 0, or the system's code
// of why it could not be examined.
DWORD giveEntry(const WideListing& listing, const FoundEntry& found) {
  wchar_t wideName[MAX_PATH];
  if (found.nameUnits >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  memcpy(wideName, found.name, found.nameUnits * sizeof(wchar_t));
  wideName[found.nameUnits] = L'\0';
  if (isDots(wideName)) return giveDots(listing, found.nameUnits);
  // A name of 255 units takes at most 765 bytes of UTF-8.
  char name[4 * MAX_PATH];
  int converted = narrowName(wideName, name, sizeof name);
  if (converted == narrowTooLong) return ERROR_FILENAME_EXCED_RANGE;
  ListedEntry listed = {name, entryFolder,        0,       FileTime{0, 0},
                        1,    FileIdentity{0, 0}, nullptr, EntryMetadata{}};
  giveMetadata(listing.asIs, found.attributes, found.changeTime, &listed);
  if (converted == narrowUnconvertible) {
    listed.kind = entryUnconvertible;
  } else if (leadsElsewhere(found.attributes, found.reparseTag)) {
    // A junction or a link to a folder may lead out of the tree or back up it.
    wchar_t* path = joinWide(listing.directory, wideName);
    if (!path) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD code = (listing.asIs & listLinksAsIs) ? giveLinkAsIs(listing, found, path, &listed)
                                                : followLink(listing, found, path, &listed);
    free(path);
    return code;
  } else if (found.attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) listed.kind = entryReparseFolder;
    if (listing.asIs & listFolderTimes) listed.lastWrite = found.lastWrite;
  } else {
    listed.kind = entryFile;
    listed.size = found.size;
    listed.lastWrite = found.lastWrite;
    DWORD code = (listing.asIs & listFileLinks) ? readFileNamesIn(listing, wideName, &listed) : 0;
    if (code != 0) return isGone(code) ? 0 : code;
  }
  listing.sink(listing.context, &listed);
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
DWORD giveBatch(const WideListing& listing, const unsigned char* batch) {
  DWORD failed = 0;
  for (const unsigned char* at = batch;;) {
    const FILE_FULL_DIR_INFO* record = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
    // For a reparse point, the listing carries its tag in place of the size of its
    // extended attributes.
    FileTime lastWrite = fileTimeOf(record->LastWriteTime);
    FileTime changeTime = fileTimeOf(record->ChangeTime);
    FoundEntry found = {
        record->FileName, record->FileNameLength / sizeof(wchar_t),          record->FileAttributes,
        record->EaSize,   static_cast<uint64_t>(record->EndOfFile.QuadPart), lastWrite,
        changeTime};
    DWORD code = giveEntry(listing, found);
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
int giveBatches(HANDLE handle, const WideListing& listing, DWORD* failure) {
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
    DWORD code = giveBatch(listing, batch);
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
int listWide(const WideListing& listing, const FileIdentity* watched, int* isWatched,
             DWORD* failure) {
  HANDLE handle = CreateFileW(listing.directory, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *failure = error;
    return isGone(error) ? enumerateMissing : enumerateUnreadable;
  }
  if (watched && isWatched) *isWatched = isWatchedFolder(handle, *watched);
  int result = giveBatches(handle, listing, failure);
  CloseHandle(handle);
  return result;
}
}  // namespace

int listDirectory(const char* path, int asIs, ListedEntrySink sink, void* context,
                  const FileIdentity* watched, int* isWatched, int* failure) {
  if (isWatched) *isWatched = 0;
  DWORD code = ERROR_PATH_NOT_FOUND;
  int result = enumerateMissing;
  // An empty path would search the current folder instead.
  if (path[0] != '\0') {
    WidePath directory(path);
    WideListing listing = {directory.text, asIs, sink, context, nullptr};
    if (asIs & listLinksAsIs) listing.target = static_cast<char*>(malloc(storedTargetSize));
    if (!directory.text) {
      code = GetLastError();  // the name's own fault, set by WidePath
      result = enumerateUnreadable;
    } else if ((asIs & listLinksAsIs) && !listing.target) {
      code = ERROR_NOT_ENOUGH_MEMORY;
      result = enumerateUnreadable;
    } else {
      result = listWide(listing, watched, isWatched, &code);
    }
    free(listing.target);
  }
  if (failure) *failure = result == enumerateListed ? 0 : static_cast<int>(code);
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
