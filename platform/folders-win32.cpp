// Windows bodies of the changes to the destination tree. Windows has no calls
// relative to a folder handle for ordinary programs, so each folder from the root
// down to the one a change happens in is opened without following reparse points,
// checked to be a plain folder (a reparse point of any tag, known or not, is refused)
// and held open without delete sharing: while it is held, none of them can be
// renamed, removed or replaced by a link, and the change made by its full path
// stays inside the tree. The entry itself is never followed either.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "platform/entries-win32.h"
#include "platform/folders.h"
#include "platform/tree_reach-win32.h"
#include "platform/utf16-win32.h"

namespace {
// Opens a folder for listing (an access that takes part in sharing), sharing
// everything but deletion; a reparse point is opened itself unless followRoot is set.
HANDLE holdFolder(const char* path, int followRoot) {
  WidePath wide(path);
  if (!wide.text) return INVALID_HANDLE_VALUE;
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followRoot ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileW(wide.text, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// True when handle is a folder and, unless any is set, no reparse point.
bool isPlainFolder(HANDLE handle, int any) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  DWORD attributes = information.dwFileAttributes;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (any || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

// True when the reparse point at path, opened itself, shows as one.
bool opensAsReparsePoint(const char* path) {
  HANDLE point = holdFolder(path, 0);
  if (point == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool shown = GetFileInformationByHandle(point, &information) &&
               (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  CloseHandle(point);
  return shown;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void releaseHeld(TreeFolders* folders) {
  for (int i = 0; i < folders->heldCount; ++i)
    CloseHandle(reinterpret_cast<HANDLE>(folders->held[i]));
  folders->heldCount = 0;
  folders->folderHandle = noFolder;
  folders->folderLength = 0;
  folders->folderVolumeKnown = 0;
}

int keepHeld(TreeFolders* folders, HANDLE handle) {
  if (folders->heldCount == folders->heldCapacity) {
    int capacity = folders->heldCapacity + 32;
    void* grown = realloc(folders->held, sizeof(FolderHandle) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    folders->held = static_cast<FolderHandle*>(grown);
    folders->heldCapacity = capacity;
  }
  folders->held[folders->heldCount++] = reinterpret_cast<FolderHandle>(handle);
  return 0;
}

// The root is reached from the folder the run holds for it: a duplicate of that
// handle where the root existed at the start; else the folders below the held one
// are made (when create is set) while it is held, and the root opened as a plain
// folder, never a reparse point.
int openRoot(TreeFolders* folders, int create) {
  if (folders->rootHandle != noFolder) return folderDone;
  if (folders->heldRoot == noFolder) return folderMissing;
  HANDLE process = GetCurrentProcess();
  HANDLE root = INVALID_HANDLE_VALUE;
  if (folders->heldLength == folders->rootLength) {
    if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(folders->heldRoot), process, &root, 0,
                         FALSE, DUPLICATE_SAME_ACCESS))
      return folderRefused;
    folders->rootHandle = reinterpret_cast<FolderHandle>(root);
    return folderDone;
  }
  char* path = folders->root;
  for (size_t at = folders->heldLength + 1; at <= folders->rootLength && create; ++at) {
    if (at < folders->rootLength && !isPathSeparator(path[at])) continue;
    if (isPathSeparator(path[at - 1])) continue;
    char kept = path[at];
    path[at] = '\0';
    WidePath wide(path);
    if (wide.text) CreateDirectoryW(wide.text, nullptr);
    path[at] = kept;
  }
  root = holdFolder(path, 0);
  if (root == INVALID_HANDLE_VALUE)
    return isMissing(GetLastError()) ? folderMissing : folderRefused;
  if (!isPlainFolder(root, 0)) {
    CloseHandle(root);
    return folderRefused;
  }
  folders->rootHandle = reinterpret_cast<FolderHandle>(root);
  return folderDone;
}

// Opens and holds the folder prefix (a full path), making it first when create is set.
int holdComponent(TreeFolders* folders, const char* prefix, int create) {
  HANDLE folder = holdFolder(prefix, 0);
  if (folder == INVALID_HANDLE_VALUE && isMissing(GetLastError()) && create) {
    makeDirectory(prefix);
    folder = holdFolder(prefix, 0);
  }
  if (folder == INVALID_HANDLE_VALUE)
    return isMissing(GetLastError()) ? folderMissing : folderRefused;
  if (!isPlainFolder(folder, 0) || keepHeld(folders, folder)) {
    CloseHandle(folder);
    return folderRefused;
  }
  return folderDone;
}

bool climbsOut(const char* component, size_t length) {
  return (length == 1 && component[0] == '.') ||
         (length == 2 && component[0] == '.' && component[1] == '.');
}

// Reaches and holds every folder from the root down to relative (length bytes).
int reachFolder(TreeFolders* folders, const char* relative, size_t length, int create) {
  if (folders->folderHandle != noFolder && length == folders->folderLength &&
      memcmp(relative, folders->folder, length) == 0)
    return folderDone;
  releaseHeld(folders);
  int result = openRoot(folders, create);
  if (result != folderDone) return result;
  size_t rootLength = folders->rootLength;
  if (rootLength + 1 + length + 1 > static_cast<size_t>(pathBufferSize)) return folderRefused;
  char* prefix = static_cast<char*>(malloc(rootLength + 1 + length + 1));
  if (!prefix) return folderRefused;
  memcpy(prefix, folders->root, rootLength);
  prefix[rootLength] = pathSeparator;
  memcpy(prefix + rootLength + 1, relative, length);
  for (size_t at = 0; at < length && result == folderDone;) {
    size_t end = at;
    while (end < length && !isPathSeparator(relative[end])) ++end;
    if (end > at) {
      prefix[rootLength + 1 + end] = '\0';
      result = climbsOut(relative + at, end - at) ? folderRefused
                                                  : holdComponent(folders, prefix, create);
      prefix[rootLength + 1 + end] = relative[end];
    }
    at = end + 1;
  }
  free(prefix);
  if (result != folderDone) {
    releaseHeld(folders);
    return result;
  }
  memcpy(folders->folder, relative, length);
  folders->folderLength = length;
  folders->folderHandle =
      folders->heldCount > 0 ? folders->held[folders->heldCount - 1] : folders->rootHandle;
  return folderDone;
}

const char* belowRoot(const TreeFolders* folders, const char* path) {
  size_t length = folders->rootLength;
  if (strncmp(path, folders->root, length) != 0 || !isPathSeparator(path[length])) return nullptr;
  while (isPathSeparator(path[length])) ++length;
  return path + length;
}

// Reaches the folder of the entry path; its name is then safe to use by full path.
int reachEntry(TreeFolders* folders, const char* path) {
  const char* relative = belowRoot(folders, path);
  if (!relative || *relative == '\0') return folderRefused;
  const char* last = relative + strlen(relative);
  while (last > relative && !isPathSeparator(last[-1])) --last;
  if (*last == '\0' || climbsOut(last, strlen(last))) return folderRefused;
  size_t length = last > relative ? static_cast<size_t>(last - 1 - relative) : 0;
  return reachFolder(folders, relative, length, 0);
}

// The final path of what handle stands for, in UTF-8; 0 when written.
int finalPathOf(HANDLE handle, char* out, size_t outSize) {
  DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
  wchar_t* final = size ? static_cast<wchar_t*>(malloc(size * sizeof(wchar_t))) : nullptr;
  DWORD length = final ? GetFinalPathNameByHandleW(handle, final, size, FILE_NAME_NORMALIZED) : 0;
  int failed = length == 0 || length >= size || narrowPath(final, length, out, outSize);
  free(final);
  return failed;
}

// True when the file open at file lies below the root of folders, by their final
// paths: what they are, whatever names and reparse points led to them.
bool liesBelowRoot(TreeFolders* folders, FileHandle file) {
  size_t size = static_cast<size_t>(pathBufferSize);
  char* root = static_cast<char*>(malloc(size));
  char* final = static_cast<char*>(malloc(size));
  bool below = false;
  if (root && final &&
      finalPathOf(reinterpret_cast<HANDLE>(folders->rootHandle), root, size) == 0 &&
      finalPathOf(reinterpret_cast<HANDLE>(file), final, size) == 0) {
    size_t length = strlen(root);
    while (length > 0 && isPathSeparator(root[length - 1])) --length;
    below = pathNamesEqualN(root, final, length) && isPathSeparator(final[length]);
  }
  free(root);
  free(final);
  return below;
}

}  // namespace

int reachEntryIn(TreeFolders* folders, const char* path) {
  return reachEntry(folders, path);
}

int reachRootIn(TreeFolders* folders) {
  return openRoot(folders, 0);
}

unsigned folderModeOf(const char*) {
  return 0777;
}

int openTreeFolders(TreeFolders* folders, const HeldFolder* root) {
  size_t length = strlen(root->path);
  *folders = TreeFolders{};
  folders->rootLength = length;
  folders->heldRoot = root->handle;
  folders->heldLength = root->heldLength;
  folders->rootHandle = folders->folderHandle = noFolder;
  folders->root = static_cast<char*>(malloc(length + 1));
  folders->folder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  if (!folders->root || !folders->folder) {
    closeTreeFolders(folders);
    return 1;
  }
  memcpy(folders->root, root->path, length + 1);
  return 0;
}

void closeTreeFolders(TreeFolders* folders) {
  releaseHeld(folders);
  if (folders->rootHandle != noFolder) CloseHandle(reinterpret_cast<HANDLE>(folders->rootHandle));
  folders->rootHandle = noFolder;
  free(folders->held);
  free(folders->root);
  free(folders->folder);
  folders->held = nullptr;
  folders->heldCapacity = 0;
  folders->root = folders->folder = nullptr;
}

namespace {
// Reaches the folder folderPath, making what is missing on the way when create is set.
int reachFolderPath(TreeFolders* folders, const char* folderPath, int create) {
  if (strcmp(folderPath, folders->root) == 0) return openRoot(folders, create);
  const char* relative = belowRoot(folders, folderPath);
  if (!relative) return folderRefused;
  size_t length = strlen(relative);
  while (length > 0 && isPathSeparator(relative[length - 1])) --length;
  return reachFolder(folders, relative, length, create);
}
}  // namespace

int makeFoldersIn(TreeFolders* folders, const char* folderPath, const char*) {
  return reachFolderPath(folders, folderPath, 1);
}

int findFolderIn(TreeFolders* folders, const char* folderPath) {
  return reachFolderPath(folders, folderPath, 0);
}

int removeFolderLinkIn(TreeFolders* folders, const char* folderPath) {
  int reached = reachEntry(folders, folderPath);
  if (reached == folderMissing) return noFolderLink;
  if (reached != folderDone) return folderLinkKept;
  // Below the destination, a folder that is a reparse point of any kind is no folder
  // to write into; removing its entry removes the point, never what it leads to.
  DWORD attributes = attributesOf(folderPath);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return noFolderLink;
  // Under Wine a host's link or mount point is a reparse point by its name only: a
  // handle opened on it reaches what it leads to, and removing it would remove that
  // (an empty folder outside the tree) or be taken and not done (a mount point).
  // Only a point that its own handle shows as one is removed.
  if (!opensAsReparsePoint(folderPath)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return folderLinkKept;
  }
  WidePath wide(folderPath);
  if (!wide.text) return folderLinkKept;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(wide.text)
                                              : DeleteFileW(wide.text))
    return folderLinkRemoved;
  return folderLinkKept;
}

int checkReplaceableIn(TreeFolders* folders, const char* path) {
  int reached = reachEntry(folders, path);
  if (reached == folderMissing) return replaceableFree;
  if (reached != folderDone) return replaceableRefused;
  return checkReplaceable(path);
}

FileHandle createNewFileIn(TreeFolders* folders, const char* path, unsigned) {
  int reached = reachEntry(folders, path);
  if (reached != folderDone) {
    if (reached == folderMissing) SetLastError(ERROR_PATH_NOT_FOUND);
    return noFile;
  }
  // CREATE_NEW never opens what stands there, a reparse point included: the file is
  // new and the copy's own.
  WidePath wide(path);
  if (!wide.text) return noFile;
  HANDLE file = CreateFileW(wide.text, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? noFile : reinterpret_cast<FileHandle>(file);
}

int removeEmptyFolderIn(TreeFolders* folders, const char* path) {
  int reached = reachEntry(folders, path);
  if (reached != folderDone) return reached;
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return folderMissing;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return folderRefused;
  // No folder that holds anything is removed; one marked read-only is.
  WidePath wide(path);
  return wide.text && removeWideFolder(wide.text) == 0 ? folderDone : folderRefused;
}

int moveFileIn(TreeFolders* folders, const char* from, const char* to, int replace) {
  const char* fromRelative = belowRoot(folders, from);
  const char* toRelative = belowRoot(folders, to);
  if (!fromRelative || !toRelative) return 1;
  size_t fromFolder = strlen(fromRelative);
  while (fromFolder > 0 && !isPathSeparator(fromRelative[fromFolder - 1])) --fromFolder;
  size_t toFolder = strlen(toRelative);
  while (toFolder > 0 && !isPathSeparator(toRelative[toFolder - 1])) --toFolder;
  if (fromFolder != toFolder || memcmp(fromRelative, toRelative, fromFolder) != 0) return 1;
  if (reachEntry(folders, to) != folderDone) return 1;
  return replace ? replaceFile(from, to) : moveFileIfAbsent(from, to);
}

int moveToBackupIn(TreeFolders* folders, const char* path, TreeFolders* backup,
                   const char* backupPath) {
  int reached = reachEntry(folders, path);
  if (reached != folderDone) return reached;
  if (attributesOf(path) == INVALID_FILE_ATTRIBUTES)
    return isMissing(GetLastError()) ? folderMissing : folderRefused;
  // The folders of backupPath are made and held as the destination's are.
  size_t length = strlen(backupPath);
  while (length > 0 && !isPathSeparator(backupPath[length - 1])) --length;
  if (length < 2) return folderRefused;
  char* folder = static_cast<char*>(malloc(length));
  if (!folder) return folderRefused;
  memcpy(folder, backupPath, length - 1);
  folder[length - 1] = '\0';
  int made = makeFoldersIn(backup, folder, nullptr);
  free(folder);
  if (made != folderDone || reachEntry(backup, backupPath) != folderDone) return folderRefused;
  WidePath from(path);
  WidePath to(backupPath);
  if (!from.text || !to.text) return folderRefused;
  // A rename, never a copy (no MOVEFILE_COPY_ALLOWED), never over anything (no
  // MOVEFILE_REPLACE_EXISTING), on disk when it returns.
  if (MoveFileExW(from.text, to.text, MOVEFILE_WRITE_THROUGH)) return folderDone;
  DWORD error = GetLastError();
  if (isMissing(error) && attributesOf(path) == INVALID_FILE_ATTRIBUTES) return folderMissing;
  SetLastError(error);
  return folderRefused;
}

int deleteFileIn(TreeFolders* folders, const char* path) {
  int reached = reachEntry(folders, path);
  if (reached != folderDone) return reached;
  WidePath wide(path);
  // A file marked read-only goes too: the mirror may have marked it so itself.
  if (wide.text && deleteWideFile(wide.text) == 0) return folderDone;
  DWORD error = GetLastError();
  // A symbolic link to a folder or a junction is a folder's entry, which the folder
  // call removes: the link itself, never what it leads to.
  DWORD attributes = 0;
  DWORD tag = 0;
  if (wide.text && readOwnWideEntry(wide.text, &attributes, &tag) == 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      isLinkTag(tag)) {
    if (RemoveDirectoryW(wide.text)) return folderDone;
    error = GetLastError();
  }
  return isMissing(error) ? folderMissing : folderRefused;
}

int setFileTimesIn(TreeFolders* folders, const char* path, FileTime time) {
  if (reachEntry(folders, path) != folderDone) return 1;
  WidePath wide(path);
  if (!wide.text) return 1;
  HANDLE file = CreateFileW(wide.text, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  FILETIME stamp = {time.low, time.high};
  int result = SetFileTime(file, &stamp, &stamp, &stamp) ? 0 : 2;
  CloseHandle(file);
  return result;
}

int currentFolderVolume(TreeFolders* folders, uint64_t* volume) {
  if (folders->folderHandle == noFolder) return 1;
  if (!folders->folderVolumeKnown) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(folders->folderHandle), &information))
      return 1;
    folders->folderVolume = information.dwVolumeSerialNumber;
    folders->folderVolumeKnown = 1;
  }
  *volume = folders->folderVolume;
  return 0;
}

int fileIdentityIn(TreeFolders* folders, const char* path, FileIdentity* identity) {
  if (reachEntry(folders, path) != folderDone) return 1;
  return fileIdentity(path, identity);
}

int getFileTimeIn(TreeFolders* folders, const char* path, FileTime* time) {
  if (reachEntry(folders, path) != folderDone) return 1;
  return getFileTime(path, time);
}

int openSourceFileIn(TreeFolders* folders, const char* path, SourceFile* source, int* failure) {
  // Held folder by folder from the root, each a plain folder, the file is opened by
  // its path while none of them can be swapped. Folders of the source that are
  // reparse points of the kinds that stand for no other place (cloud-synced ones) are
  // read through, as the listing walks them: then what the file turned out to be
  // must still lie in the source's root, whatever stood on its way.
  int reached = reachEntry(folders, path);
  int opened = openSourceFile(path, source, failure);
  if (opened != sourceOpened || reached == folderDone) return opened;
  if (openRoot(folders, 0) != folderDone || !liesBelowRoot(folders, source->handle)) {
    CloseHandle(reinterpret_cast<HANDLE>(source->handle));
    source->handle = noFile;
    *failure = ERROR_CANT_ACCESS_FILE;
    return sourceUnreadable;
  }
  return sourceOpened;
}
