// Changes to the destination tree, made through handles of the folders they happen
// in. Each folder is opened from the destination root one level at a time, never
// through a link (or, on Windows, any reparse point): a folder that someone swaps for
// a link while the run goes on makes the change fail instead of leading it outside
// the tree. The bodies live in folders-posix.cpp and folders-win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/copy_files.h"
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
  /// The file system of the folder reached last, once asked for (currentFolderVolume).
  uint64_t folderVolume;
  int folderVolumeKnown;
};

/// Results of the operations below that change or look at one entry.
enum FolderResult {
  folderDone = 0,     ///< done
  folderMissing = 1,  ///< the entry, or a folder on its way, does not exist
  folderRefused = 2,  ///< a link, a reparse point or a file stands where a folder must, or
                      ///< the system refused the change
};

/// Permission bits for a new folder that is the twin of sourceFolder: its read, write
/// and search bits, set-id and sticky bits dropped, with the owner's read, write and
/// search added, so that a later run can write into it; the umask then applies. The
/// default where sourceFolder is null or no folder. Unused on Windows, where a new
/// folder takes its parent's security.
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

/// Results of checkReplaceableIn.
enum ReplaceableResult {
  replaceableFree = 0,      ///< nothing there, or a link that was removed
  replaceableFile = 1,      ///< a file that may be written
  replaceableRefused = 2,   ///< something that may not be replaced: read-only file, folder, device
  replaceableLinkKept = 3,  ///< a link that could not be removed
};
/// Readies path, in its folder, to be replaced by a copy: a link found there is
/// removed (the copy replaces the link and never writes through it).
/// A folder on the way that cannot be reached gives replaceableFree when missing and
/// replaceableRefused when something else stands there. Returns a ReplaceableResult;
/// lastFailureCode tells the reason of a refusal.
int checkReplaceableIn(DestinationFolders* folders, const char* path);

/// Creates path in its folder as a new, empty file open for writing, with at most the
/// permission bits mode (POSIX; the umask applies): only where nothing stands there,
/// so that it never writes over anything, nor through a link. noFile when it cannot
/// be made, lastFailureCode telling why (isAlreadyExists where something stands there).
FileHandle createNewFileIn(DestinationFolders* folders, const char* path, unsigned mode);

/// Removes the folder at path when it is empty, so that a file can take its place;
/// never a link or what one leads to. Returns a FolderResult: folderRefused for a
/// folder that holds anything, or anything else.
int removeEmptyFolderIn(DestinationFolders* folders, const char* path);

/// Renames the file from to to, both in one folder: only where nothing stands at to
/// when replace is 0 (1 where the system cannot promise that), over what is there when
/// replace is 1. 0 when done.
int moveFileIn(DestinationFolders* folders, const char* from, const char* to, int replace);

/// Moves the file (or link itself) at path below the root of folders to backupPath
/// below the root of backup, making the missing folders of backupPath on the way: a
/// rename within one file system, never a copy, and never over anything that stands
/// at backupPath. The file keeps its times and permission bits. Returns a
/// FolderResult: folderMissing when nothing stands at path; lastFailureCode tells the
/// reason of folderRefused.
int moveToBackupIn(DestinationFolders* folders, const char* path, DestinationFolders* backup,
                   const char* backupPath);

/// Makes the folder path below the root only where nothing stands there, so that two
/// runs never share it. Returns a FolderResult: folderRefused, with isAlreadyExists of
/// lastFailureCode, where something stands there.
int makeNewFolderIn(DestinationFolders* folders, const char* path);

/// Deletes the file (or link itself) at path. Returns a FolderResult: folderMissing
/// when nothing stands there or its folder is gone.
int deleteFileIn(DestinationFolders* folders, const char* path);

/// Sets the times of the file at path as setFileTimes does, never through a link at
/// path; 0 when set, 1 when it could not be reached, 2 when setting failed.
int setFileTimesIn(DestinationFolders* folders, const char* path, FileTime time);

/// The file system that the folder reached last (by the latest call on an entry in it)
/// lies on, asked once per folder; 0 on success.
int currentFolderVolume(DestinationFolders* folders, uint64_t* volume);

/// Reads the identity of the entry at path itself; 0 on success.
int fileIdentityIn(DestinationFolders* folders, const char* path, FileIdentity* identity);

/// Reads the last-write time of the file at path (a final link stands for its
/// target, as in the listing); 0 on success.
int getFileTimeIn(DestinationFolders* folders, const char* path, FileTime* time);
