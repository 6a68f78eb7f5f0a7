// An exact mirror's entries on Windows: symbolic links and junctions made as reparse
// points of their own kind, other names of one file, and the times of folders and
// links, each in a folder held from the root down (tree_reach-win32.h) and never
// through a reparse point. A new entry is made under a name of its own beside its
// place and moved into it, so that what stood there stays whole until the new one is.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>

#include "platform/entries-win32.h"
#include "platform/folders.h"
#include "platform/metadata.h"
#include "platform/tree_reach-win32.h"
#include "platform/utf16-win32.h"

namespace {
// The names tried for a new entry before it takes its place: short, so that any
// folder can hold them, and never over anything. One a killed run left is a
// destination entry the source lacks.
constexpr int temporaryTries = 100;

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD entryItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// A new entry under its temporary name, and whether the system keeps it as a folder
// (a junction, a symbolic link to a folder).
struct NewEntry {
  wchar_t* path;
  bool folder;
};

// The full path of the name attempt beside the entry at place, in a new buffer.
wchar_t* temporaryPath(const wchar_t* place, int attempt) {
  const wchar_t* last = wcsrchr(place, L'\\');
  size_t folder = last ? static_cast<size_t>(last - place) + 1 : 0;
  constexpr size_t nameUnits = 24;
  wchar_t* path = static_cast<wchar_t*>(malloc((folder + nameUnits) * sizeof(wchar_t)));
  if (!path) return nullptr;
  memcpy(path, place, folder * sizeof(wchar_t));
  _snwprintf(path + folder, nameUnits, L".talven-new-%d", attempt);
  return path;
}

// Removes the entry at path itself (a folder's entry with the folder call, which
// removes a link to a folder, never what it leads to), keeping the last error.
void removeEntry(const wchar_t* path, bool folder) {
  DWORD error = GetLastError();
  if (folder)
    RemoveDirectoryW(path);
  else
    DeleteFileW(path);
  SetLastError(error);
}

// Removes a new entry that cannot take its place; the reason stays the last error.
int discardMade(const NewEntry& made) {
  removeEntry(made.path, made.folder);
  return folderRefused;
}

// Looks at what was made under the temporary name and gives it the time: a reparse
// point of the tag asked for, opened itself. Some emulations of the system say they
// made a link and make nothing; that is told as a refusal, never taken as done.
int stampMade(const NewEntry& made, DWORD tag, FileTime time) {
  HANDLE entry = CreateFileW(made.path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                             nullptr, OPEN_EXISTING, entryItself, nullptr);
  if (entry == INVALID_HANDLE_VALUE) {
    if (isMissing(GetLastError())) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return folderRefused;
    }
    return discardMade(made);
  }
  FILE_ATTRIBUTE_TAG_INFO kind;
  FILETIME stamp = {time.low, time.high};
  DWORD error = 0;
  if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &kind, sizeof kind))
    error = GetLastError();
  else if (!(kind.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || kind.ReparseTag != tag)
    error = ERROR_NOT_SUPPORTED;
  else if (!SetFileTime(entry, &stamp, &stamp, &stamp))
    error = GetLastError();
  CloseHandle(entry);
  if (error == 0) return folderDone;
  SetLastError(error);
  return discardMade(made);
}

// Whether a symbolic link to target at path leads to a folder, which the system
// makes apart from a link to a file: told by what the target names now, seen from
// the link's folder. A target that is not there yet gives a link to a file.
bool leadsToFolder(const char* path, const char* target) {
  bool absolute = isPathSeparator(target[0]) || (target[0] != '\0' && target[1] == ':');
  size_t folder = strlen(path);
  while (folder > 0 && !isPathSeparator(path[folder - 1])) --folder;
  size_t length = strlen(target);
  char* joined = static_cast<char*>(malloc(folder + length + 1));
  if (!joined) return false;
  memcpy(joined, path, folder);
  memcpy(joined + folder, target, length + 1);
  WidePath wide(absolute ? target : joined);
  free(joined);
  DWORD attributes = wide.text ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Makes a symbolic link to target under a temporary name beside place. The name is
// taken only where nothing stands: a call that says it made a link may have made
// nothing, and what stands there would then be taken for it.
int makeSymbolicLink(const wchar_t* place, const wchar_t* target, NewEntry* made) {
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                (made->folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  for (int attempt = 0; attempt < temporaryTries; ++attempt) {
    free(made->path);
    made->path = temporaryPath(place, attempt);
    if (!made->path) return folderRefused;
    if (GetFileAttributesW(made->path) != INVALID_FILE_ATTRIBUTES) continue;
    if (CreateSymbolicLinkW(made->path, target, flags)) return folderDone;
    // Systems before developer mode know no flag for it.
    if (GetLastError() == ERROR_INVALID_PARAMETER &&
        CreateSymbolicLinkW(made->path, target,
                            flags & ~SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
      return folderDone;
    // ERROR_PRIVILEGE_NOT_HELD where the process may not make links: kept as the reason.
    if (!isAlreadyExists(static_cast<int>(GetLastError()))) return folderRefused;
  }
  SetLastError(ERROR_ALREADY_EXISTS);
  return folderRefused;
}

// Makes a new, empty folder under a temporary name beside place.
int makeTemporaryFolder(const wchar_t* place, NewEntry* made) {
  for (int attempt = 0; attempt < temporaryTries; ++attempt) {
    free(made->path);
    made->path = temporaryPath(place, attempt);
    if (!made->path) return folderRefused;
    if (CreateDirectoryW(made->path, nullptr)) return folderDone;
    if (!isAlreadyExists(static_cast<int>(GetLastError()))) return folderRefused;
  }
  return folderRefused;
}

// Makes a junction to target (units long, \??\ first) under a temporary name beside
// place: a new folder that becomes the reparse point.
int makeJunction(const wchar_t* place, const wchar_t* target, size_t units, NewEntry* made) {
  unsigned char* data = static_cast<unsigned char*>(malloc(MAXIMUM_REPARSE_DATA_BUFFER_SIZE));
  DWORD size = 0;
  DWORD error = data ? junctionDataOf(target, units, data, &size) : ERROR_NOT_ENOUGH_MEMORY;
  if (error == 0) {
    if (makeTemporaryFolder(place, made) != folderDone) {
      error = GetLastError();
    } else {
      HANDLE folder = CreateFileW(made->path, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING,
                                  entryItself, nullptr);
      DWORD got = 0;
      if (folder == INVALID_HANDLE_VALUE ||
          !DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data, size, nullptr, 0, &got, nullptr))
        error = GetLastError();
      if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
      if (error != 0) removeEntry(made->path, true);
    }
  }
  free(data);
  SetLastError(error);
  return error == 0 ? folderDone : folderRefused;
}

// Moves what stands at place aside under a temporary name, the new entry into
// place, and removes the old one: the system moves no folder's entry (a link to a
// folder is one) over anything, nor anything over one. Should the run end between,
// the old entry stays under that name, an entry the source lacks.
int swapIn(const NewEntry& made, const wchar_t* place, bool oldFolder) {
  wchar_t* aside = nullptr;
  for (int attempt = 0; attempt < temporaryTries && !aside; ++attempt) {
    aside = temporaryPath(place, attempt);
    if (!aside) return discardMade(made);
    if (MoveFileExW(place, aside, MOVEFILE_WRITE_THROUGH)) break;
    DWORD error = GetLastError();
    free(aside);
    aside = nullptr;
    SetLastError(error);
    if (!isAlreadyExists(static_cast<int>(error))) break;
  }
  if (!aside) return discardMade(made);
  int result = folderDone;
  if (!MoveFileExW(made.path, place, MOVEFILE_WRITE_THROUGH)) {
    DWORD error = GetLastError();
    MoveFileExW(aside, place, MOVEFILE_WRITE_THROUGH);
    SetLastError(error);
    result = discardMade(made);
  } else {
    removeEntry(aside, oldFolder);
  }
  free(aside);
  return result;
}

// Puts the new entry in place: only where nothing stands there, or with replace over
// a file or a link; never over a folder.
int placeMade(const NewEntry& made, const wchar_t* place, int replace) {
  DWORD attributes = 0;
  DWORD tag = 0;
  if (readOwnWideEntry(place, &attributes, &tag) != 0) {
    if (!isMissing(GetLastError())) return discardMade(made);
    return MoveFileExW(made.path, place, MOVEFILE_WRITE_THROUGH) ? folderDone : discardMade(made);
  }
  bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && isLinkTag(tag);
  bool oldFolder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  if (!replace || (oldFolder && !link)) {
    // Told as the system tells a move over a folder, or over a name in use.
    SetLastError(oldFolder && !link ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
    return discardMade(made);
  }
  if (made.folder || oldFolder) return swapIn(made, place, oldFolder);
  if (MoveFileExW(made.path, place, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return folderDone;
  return discardMade(made);
}

// Gives the file open at file a temporary name beside place, in the folder open at
// folder: the name is made relative to that folder, which the tree holds.
int linkBeside(HANDLE file, HANDLE folder, const wchar_t* place, NewEntry* made) {
  for (int attempt = 0; attempt < temporaryTries; ++attempt) {
    free(made->path);
    made->path = temporaryPath(place, attempt);
    if (!made->path) return folderRefused;
    DWORD error = nameFileIn(file, folder, wcsrchr(made->path, L'\\') + 1);
    if (error == 0) return folderDone;
    SetLastError(error);
    if (!isAlreadyExists(static_cast<int>(error))) return folderRefused;
  }
  return folderRefused;
}

// Opens the entry at path itself (the root by its held handle) to set its times.
HANDLE openToStamp(TreeFolders* folders, const char* path, int* result) {
  if (strcmp(path, folders->root) == 0) {
    *result = reachRootIn(folders);
    if (*result != folderDone) return INVALID_HANDLE_VALUE;
    return ReOpenFile(reinterpret_cast<HANDLE>(folders->rootHandle), FILE_WRITE_ATTRIBUTES,
                      shareAll, entryItself);
  }
  *result = reachEntryIn(folders, path);
  if (*result != folderDone) return INVALID_HANDLE_VALUE;
  WidePath wide(path);
  if (!wide.text) return INVALID_HANDLE_VALUE;
  // Wine shows a host's link by its name only: its handle reaches what it leads to.
  DWORD named = GetFileAttributesW(wide.text);
  HANDLE entry = CreateFileW(wide.text, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                             nullptr, OPEN_EXISTING, entryItself, nullptr);
  if (entry == INVALID_HANDLE_VALUE) {
    if (isMissing(GetLastError())) *result = folderMissing;
    return entry;
  }
  BY_HANDLE_FILE_INFORMATION opened;
  if (named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT) &&
      GetFileInformationByHandle(entry, &opened) &&
      !(opened.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    CloseHandle(entry);
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  return entry;
}
}  // namespace

int makeLinkIn(TreeFolders* folders, const char* path, const char* target, FileTime time,
               int replace) {
  int reached = reachEntryIn(folders, path);
  if (reached != folderDone) return reached;
  WidePath place(path);
  size_t units = 0;
  wchar_t* wideTarget = widenText(target, strlen(target), 0, &units);
  if (!place.text || !wideTarget || units == 0) {
    free(wideTarget);
    if (place.text) SetLastError(units == 0 ? ERROR_INVALID_NAME : ERROR_NO_UNICODE_TRANSLATION);
    return folderRefused;
  }
  // A target in the system's own form (\??\C:\..., as a junction stores it) is a
  // junction's; any other is a symbolic link's.
  bool junction = units >= 4 && wcsncmp(wideTarget, L"\\??\\", 4) == 0;
  NewEntry made = {nullptr, junction || leadsToFolder(path, target)};
  int result = junction ? makeJunction(place.text, wideTarget, units, &made)
                        : makeSymbolicLink(place.text, wideTarget, &made);
  free(wideTarget);
  DWORD tag = junction ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK;
  if (result == folderDone) result = stampMade(made, tag, time);
  if (result == folderDone) result = placeMade(made, place.text, replace);
  free(made.path);
  return result;
}

int makeHardLinkIn(TreeFolders* folders, const char* existingPath, const char* path, int replace) {
  int reached = reachEntryIn(folders, existingPath);
  if (reached != folderDone) return reached;
  // The file itself, held open: the folders on its way are let go to reach path's,
  // and the new name is given to what this handle holds, whatever its path names then.
  // Opened without backup semantics, a folder is refused here.
  WidePath existingWide(existingPath);
  HANDLE existing =
      existingWide.text
          ? CreateFileW(existingWide.text,
                        FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, shareAll,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
          : INVALID_HANDLE_VALUE;
  if (existing == INVALID_HANDLE_VALUE)
    return isMissing(GetLastError()) ? folderMissing : folderRefused;
  int result = reachEntryIn(folders, path);
  WidePath place(path);
  if (result == folderDone && !place.text) result = folderRefused;
  if (result == folderDone) {
    NewEntry made = {nullptr, false};
    result =
        linkBeside(existing, reinterpret_cast<HANDLE>(folders->folderHandle), place.text, &made);
    if (result == folderDone) result = placeMade(made, place.text, replace);
    free(made.path);
  }
  DWORD error = GetLastError();
  CloseHandle(existing);
  SetLastError(error);
  return result;
}

int setEntryTimeIn(TreeFolders* folders, const char* path, FileTime time) {
  int result = folderRefused;
  HANDLE entry = openToStamp(folders, path, &result);
  if (entry == INVALID_HANDLE_VALUE) return result == folderDone ? folderRefused : result;
  FILETIME stamp = {time.low, time.high};
  result = SetFileTime(entry, &stamp, &stamp, &stamp) ? folderDone : folderRefused;
  DWORD error = GetLastError();
  CloseHandle(entry);
  SetLastError(error);
  return result;
}

int entryKindIn(TreeFolders* folders, const char* path, int* kind, FileIdentity* identity) {
  int reached = reachEntryIn(folders, path);
  if (reached != folderDone) return reached;
  // The kind by the folder's own record of the entry, which Wine gives for a host's
  // link too; the identity by the entry itself, opened.
  WidePath wide(path);
  DWORD attributes = 0;
  DWORD tag = 0;
  if (!wide.text) return folderRefused;
  if (readOwnWideEntry(wide.text, &attributes, &tag) != 0)
    return isMissing(GetLastError()) ? folderMissing : folderRefused;
  bool reparse = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
  if (reparse && isLinkTag(tag))
    *kind = entryLink;
  else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    // A folder that is a reparse point of another kind is none the tree is reached through.
    *kind = reparse ? entryOther : entryFolder;
  else
    *kind = reparse && IsReparseTagNameSurrogate(tag) ? entryOther : entryFile;
  HANDLE entry = openWideForInformation(wide.text, 1);
  if (entry == INVALID_HANDLE_VALUE)
    return isMissing(GetLastError()) ? folderMissing : folderRefused;
  BY_HANDLE_FILE_INFORMATION information;
  int result = GetFileInformationByHandle(entry, &information) ? folderDone : folderRefused;
  if (result == folderDone)
    *identity = {information.dwVolumeSerialNumber,
                 wholeSize(information.nFileIndexHigh, information.nFileIndexLow)};
  CloseHandle(entry);
  return result;
}

int reachMetadataEntryIn(TreeFolders* folders, const char* path, FolderHandle* folder,
                         const char** name) {
  if (strcmp(path, folders->root) == 0) {
    int reached = reachRootIn(folders);
    *folder = folders->rootHandle;
    *name = ".";
    return reached;
  }
  int reached = reachEntryIn(folders, path);
  *folder = folders->folderHandle;
  const char* last = path;
  for (const char* at = path; *at; ++at)
    if (*at == '\\' || *at == '/') last = at + 1;
  *name = last;
  return reached;
}
