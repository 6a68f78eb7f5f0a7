// Changes to the destination tree, made through handles of the folders they happen
// in. Each folder is opened from the destination root one level at a time, never
// through a link (or, on Windows, any reparse point): a folder that someone swaps for
// a link while the run goes on makes the change fail instead of leading it outside
// the tree. The bodies live in folders-posix.cpp and folders-win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

/// An open folder: a descriptor on POSIX, a handle on Windows.
typedef intptr_t FolderHandle;
/// No folder is open.
constexpr FolderHandle noFolder = -1;

/// The destination tree as one caller reaches it: its root, opened once by the path
/// the user gave, and the folder below it that was reached last. Copies and deletions
/// come grouped by folder, so most changes reuse that folder. Every caller that
/// changes the tree holds a record of its own; none is shared between threads.
struct DestinationFolders {
  char* root;         ///< the root's path, as every full path given here begins
  size_t rootLength;  ///< bytes of root
  FolderHandle rootHandle;
  char* folder;  ///< the folder reached last, relative to the root; empty for the root
  size_t folderLength;
  FolderHandle folderHandle;  ///< that folder's handle (rootHandle for the root), or noFolder
  /// Windows: the handles of the folders between the root and that folder, held open
  /// without delete sharing so that none of them can be renamed or replaced meanwhile.
  FolderHandle* held;
  int heldCount;
  int heldCapacity;
};

/// Results of the operations below that change or look at one entry.
enum FolderResult {
  folderDone = 0,     ///< done
  folderMissing = 1,  ///< the entry, or a folder on its way, does not exist
  folderRefused = 2,  ///< a link, a reparse point or a file stands where a folder must, or
                      ///< the system refused the change
};

/// Permission bits for the copy of the open source file: the source's read, write
/// and execute bits, set-id and sticky bits dropped (the owner is the running user),
/// and the owner's write added, so that a later run can update the copy. The umask
/// then applies. Windows gives a new file its folder's security: the bits are unused.
unsigned copyModeOf(FILE* source);
/// The same for a new folder that is the twin of sourceFolder, with the owner's read,
/// write and search added; the default where sourceFolder is null or no folder.
unsigned folderModeOf(const char* sourceFolder);

/// Readies folders for the tree at root (a path without trailing separator); the root
/// itself is opened at the first change. 0 when ready, 1 when memory ran out.
int openDestinationFolders(DestinationFolders* folders, const char* root);
/// Closes every handle the record holds and frees it.
void closeDestinationFolders(DestinationFolders* folders);

/// Makes every missing folder of folderPath (a full path below the root, or the root
/// itself), outermost first. sourceFolder, when not null, is its twin in the source,
/// ending in the same relative path: each folder made takes the bits folderModeOf
/// gives for its own twin there. A missing root is made by its path, as the user
/// gave it, with the default bits. Returns a FolderResult: folderRefused when
/// something not a folder stands in the way.
int makeFoldersIn(DestinationFolders* folders, const char* folderPath, const char* sourceFolder);

/// Reaches the folder folderPath (a full path below the root, or the root itself)
/// without making anything. Returns a FolderResult: folderMissing when it, or a
/// folder on its way, does not exist.
int findFolderIn(DestinationFolders* folders, const char* folderPath);

/// Removes a link (on Windows, any reparse point) that stands where the folder
/// folderPath below the root should be, never what it leads to. Returns a
/// FolderLinkResult of platform.h; folderLinkKept also when its way cannot be reached.
int removeFolderLinkIn(DestinationFolders* folders, const char* folderPath);

/// What checkReplaceable tells, for path in its folder: a link found there is removed.
/// A folder on the way that cannot be reached gives replaceableFree when missing and
/// replaceableRefused when something else stands there.
int checkReplaceableIn(DestinationFolders* folders, const char* path);

/// Creates path in its folder as a new, empty file with at most the permission bits
/// mode (POSIX; the umask applies), or truncates a regular file there, open for
/// unbuffered writing. A link found there is replaced, never followed; a device or a
/// pipe is never opened. Null when it cannot be created, the folder included.
FILE* createFileIn(DestinationFolders* folders, const char* path, unsigned mode);

/// Renames the file from to to, both in one folder: only where nothing stands at to
/// when replace is 0 (1 where the system cannot promise that), over what is there when
/// replace is 1. 0 when done.
int moveFileIn(DestinationFolders* folders, const char* from, const char* to, int replace);

/// Deletes the file (or link itself) at path. Returns a FolderResult: folderMissing
/// when nothing stands there or its folder is gone.
int deleteFileIn(DestinationFolders* folders, const char* path);

/// Sets the times of the file at path as setFileTimes does, never through a link at
/// path; 0 when set, 1 when it could not be reached, 2 when setting failed.
int setFileTimesIn(DestinationFolders* folders, const char* path, FileTime time);

/// Reads the identity of the entry at path itself; 0 on success.
int fileIdentityIn(DestinationFolders* folders, const char* path, FileIdentity* identity);

/// Reads the last-write time of the file at path (a final link stands for its
/// target, as in the listing); 0 on success.
int getFileTimeIn(DestinationFolders* folders, const char* path, FileTime* time);
