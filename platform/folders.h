// The trees a run reads and changes, reached only through folders it holds: each
// root a run writes into (the destination, the backup folder and its run folder) and
// the source it reads are opened once, at the start, by the path the user gave;
// from then on every folder is opened from its root one level at a time, never
// through a link (or, on Windows, any reparse point), and every change is made
// relative to the folder it happens in. A folder that someone swaps for a link while
// the run goes on makes the change fail instead of leading it outside the tree. The
// bodies live in folders-posix.cpp and folders-win32.cpp.
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

/// A folder a run holds from its start to its end. It is opened by the path the user
/// gave, links in that path followed as the user named them; where it does not exist
/// yet, its nearest existing folder is held instead, and the names below that are
/// made through the handle when the run first needs the folder. On Windows the held
/// folder can be neither renamed nor removed while it is held.
struct HeldFolder {
  FolderHandle handle;  ///< the folder, or its nearest existing folder; noFolder: none held
  char* path;           ///< the folder's path as the run spells it, without trailing separators
  size_t heldLength;    ///< bytes of path that handle stands for (all of it where it exists)
};

/// Holds the folder at path (see HeldFolder), making nothing. Returns a FolderResult:
/// folderDone when the folder itself is held, folderMissing when its nearest existing
/// folder is, folderRefused when nothing could be held (lastFailureCode tells why).
int holdFolder(HeldFolder* held, const char* path);
/// Makes the missing folders of a held folder's path, one level at a time from the
/// folder held, never by a path, and holds the folder itself. Returns a FolderResult.
int makeHeldFolder(HeldFolder* held);
/// Makes the folder name inside the held folder parent, only where nothing stands
/// there, and holds it as made. Returns a FolderResult: folderRefused, with
/// isAlreadyExists of lastFailureCode, where something stands there.
int makeNewHeldFolder(const HeldFolder* parent, const char* name, HeldFolder* made);
/// Removes the folder name inside the held folder parent where it is empty; a folder
/// that holds anything, or anything else, stays. 0 when removed.
int removeEmptyHeldFolder(const HeldFolder* parent, const char* name);
/// Gives back what holdFolder took; does nothing for a record that holds nothing.
void releaseHeldFolder(HeldFolder* held);
/// The identity of what held holds; 0 when read.
int heldFolderIdentity(const HeldFolder* held, FileIdentity* identity);
/// 1 when what held holds is the folder of identity outer or lies below it, by the
/// identities of the folders above it up to its file system's root (their names are
/// never looked at); 0 otherwise.
int heldFolderLiesWithin(const HeldFolder* held, const FileIdentity& outer);
/// Opens the file name in the held folder for appending, in the platform's own line
/// ends, creating it when missing (the name itself may be a link: the user named
/// it); null on failure (lastFailureCode tells why). Write to it only through
/// appendToFile: every write then lands at the file's end.
FILE* openLogIn(const HeldFolder* folder, const char* name);
/// Tries what the backup folder must take: a new, empty file made in the held folder
/// from, renamed into the held folder into, and removed there. 0 when all of it
/// succeeded, else the code of lastFailureCode that tells why not (nothing is left
/// behind where the step that failed allows).
int tryMoveBetween(const HeldFolder* from, const HeldFolder* into);

/// Writes the file name in the held folder to hold the length bytes of text, and waits
/// until it is on disk: made only where nothing stands there, or, with overwrite, only
/// over a regular file that stands there; never through a link. Returns a
/// FolderResult: folderRefused, with isAlreadyExists of lastFailureCode, where
/// something stands in the way of a new file; a new file half made is removed.
int writeSmallFileIn(const HeldFolder* folder, const char* name, const char* text, size_t length,
                     int overwrite);
/// Gives sink the name of every entry of the held folder ("." and ".." left out),
/// isFolder set for a folder that is no link (on Windows, no reparse point). 0 when
/// listed whole, else the system's code of why not.
int listHeldFolder(const HeldFolder* folder,
                   void (*sink)(void* context, const char* name, int isFolder), void* context);
/// Removes the folder name in the held folder parent with everything in it, one
/// level at a time from parent: each folder below is reached from the one above
/// without following a link, and a link (on Windows, any reparse point) met on the
/// way is removed itself, never what it leads to. Refuses a name that is no folder.
/// 0 when all of it is gone, else the system's code of the first removal that
/// failed; what could not be removed stays.
int removeFolderTreeIn(const HeldFolder* parent, const char* name);

/// A tree as one caller reaches it: its held root, the root's own handle (duplicated
/// from it when first needed), and the folder below it that was reached last. Copies
/// and deletions come grouped by folder, so most changes reuse that folder. Every
/// caller holds a record of its own; none is shared between threads.
struct TreeFolders {
  char* root;               ///< the root's path, as every full path given here begins
  size_t rootLength;        ///< bytes of root
  FolderHandle heldRoot;    ///< the run's held root (or its nearest existing folder): borrowed
  size_t heldLength;        ///< bytes of root that heldRoot stands for
  FolderHandle rootHandle;  ///< the root's own handle, once reached; noFolder before
  char* folder;             ///< the folder reached last, relative to the root; empty for the root
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

/// Readies folders for the tree whose root the run holds in root (which lives as long
/// as folders); the root is reached from it at the first use, never by its path. 0
/// when ready, 1 when memory ran out.
int openTreeFolders(TreeFolders* folders, const HeldFolder* root);
/// Closes every handle the record holds and frees it.
void closeTreeFolders(TreeFolders* folders);

/// Makes every missing folder of folderPath (a full path below the root, or the root
/// itself), outermost first. sourceFolder, when not null, is its twin in the source,
/// ending in the same relative path: each folder made takes the bits folderModeOf
/// gives for its own twin there. A missing root is made from the folder held for it,
/// with the default bits. Returns a FolderResult: folderRefused when something not a
/// folder stands in the way.
int makeFoldersIn(TreeFolders* folders, const char* folderPath, const char* sourceFolder);

/// Reaches the folder folderPath (a full path below the root, or the root itself)
/// without making anything. Returns a FolderResult: folderMissing when it, or a
/// folder on its way, does not exist.
int findFolderIn(TreeFolders* folders, const char* folderPath);

/// Removes a link (on Windows, any reparse point) that stands where the folder
/// folderPath below the root should be, never what it leads to. Returns a
/// FolderLinkResult of platform.h; folderLinkKept also when its way cannot be reached.
int removeFolderLinkIn(TreeFolders* folders, const char* folderPath);

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
int checkReplaceableIn(TreeFolders* folders, const char* path);

/// Creates path in its folder as a new, empty file open for writing, with at most the
/// permission bits mode (POSIX; the umask applies): only where nothing stands there,
/// so that it never writes over anything, nor through a link. noFile when it cannot
/// be made, lastFailureCode telling why (isAlreadyExists where something stands there).
FileHandle createNewFileIn(TreeFolders* folders, const char* path, unsigned mode);

/// Removes the folder at path when it is empty, so that a file can take its place;
/// never a link or what one leads to. Returns a FolderResult: folderRefused for a
/// folder that holds anything, or anything else.
int removeEmptyFolderIn(TreeFolders* folders, const char* path);

/// Renames the file from to to, both in one folder: only where nothing stands at to
/// when replace is 0 (1 where the system cannot promise that), over what is there when
/// replace is 1. 0 when done.
int moveFileIn(TreeFolders* folders, const char* from, const char* to, int replace);

/// Moves the file (or link itself) at path below the root of folders to backupPath
/// below the root of backup, making the missing folders of backupPath on the way: a
/// rename within one file system, never a copy, and never over anything that stands
/// at backupPath. The file keeps its times and permission bits. Returns a
/// FolderResult: folderMissing when nothing stands at path; lastFailureCode tells the
/// reason of folderRefused.
int moveToBackupIn(TreeFolders* folders, const char* path, TreeFolders* backup,
                   const char* backupPath);

/// Deletes the file (or link itself) at path. Returns a FolderResult: folderMissing
/// when nothing stands there or its folder is gone.
int deleteFileIn(TreeFolders* folders, const char* path);

/// Sets the times of the file at path as setFileTimes does, never through a link at
/// path; 0 when set, 1 when it could not be reached, 2 when setting failed.
int setFileTimesIn(TreeFolders* folders, const char* path, FileTime time);

/// The file system that the folder reached last (by the latest call on an entry in it)
/// lies on, asked once per folder; 0 on success.
int currentFolderVolume(TreeFolders* folders, uint64_t* volume);

/// Reads the identity of the entry at path itself; 0 on success.
int fileIdentityIn(TreeFolders* folders, const char* path, FileIdentity* identity);

/// Reads the last-write time of the file at path (a final link stands for its
/// target, as in the listing); 0 on success.
int getFileTimeIn(TreeFolders* folders, const char* path, FileTime* time);

// ---- An exact mirror's entries: links, names of one file, folder times ----------

/// Makes a link at path (below the root of folders) whose target is the bytes of
/// target, never read nor followed, with the last-write time time: made under a
/// name of its own in path's folder, stamped, then renamed to path, over a file or a
/// link that stands there (replace 1) or only where nothing does (replace 0); never
/// over a folder. Returns a FolderResult; lastFailureCode tells why it was refused
/// (on Windows also where the process may not make links).
int makeLinkIn(TreeFolders* folders, const char* path, const char* target, FileTime time,
               int replace);
/// Makes path another name of the file at existingPath (both below the root of
/// folders, never through a link), as makeLinkIn places a link. Returns a
/// FolderResult.
int makeHardLinkIn(TreeFolders* folders, const char* existingPath, const char* path, int replace);
/// Sets the last-write time of the entry at path itself (a folder, a link, the root
/// too), never through a link. Returns a FolderResult.
int setEntryTimeIn(TreeFolders* folders, const char* path, FileTime time);
/// The identity of what stands at path itself and whether it is a folder, a link or
/// a file (an entry kind of platform.h). Returns a FolderResult.
int entryKindIn(TreeFolders* folders, const char* path, int* kind, FileIdentity* identity);

/// Opens the source file at path below the root of folders for reading, as
/// openSourceFile does, every folder on its way reached without following a link (the
/// file's own name is followed, as the listing follows it). Returns a SourceOpenResult.
int openSourceFileIn(TreeFolders* folders, const char* path, SourceFile* source, int* failure);
