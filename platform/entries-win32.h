// Windows only: what the enumeration and the single-file operations both need to
// know of an entry.
#pragma once

#include <windows.h>

#include "platform/platform.h"

/// The file time in the platform's record.
inline FileTime fromFiletime(const FILETIME& time) {
  return FileTime{time.dwLowDateTime, time.dwHighDateTime};
}

/// A 64-bit size or index from its two halves.
inline uint64_t wholeSize(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

/// The attributes an exact mirror keeps (metadataAttributes): read-only, hidden,
/// system, archive and not-content-indexed.
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

/// Symbolic links, junctions and mount points stand for another place. Other reparse
/// points (cloud-synced or deduplicated files and folders) are the thing itself and
/// are listed like any other entry.
inline bool leadsElsewhere(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag);
}

/// Symbolic links and junctions (mount points): the reparse points that an exact
/// mirror carries as links, with their targets.
inline bool isLinkTag(DWORD reparseTag) {
  return reparseTag == IO_REPARSE_TAG_SYMLINK || reparseTag == IO_REPARSE_TAG_MOUNT_POINT;
}

/// Bytes that hold any target readStoredTarget gives, terminator included: a reparse
/// point holds at most 16 KiB, fewer than 8,192 UTF-16 units of names, and a unit
/// takes at most 3 bytes of UTF-8.
constexpr size_t storedTargetSize = 3 * 8192 + 1;
/// The target that the reparse data (size bytes, as the system gives it) of a
/// symbolic link or junction stores, in UTF-8 in out (storedTargetSize bytes), its
/// length in *length: a symbolic link's print name (its substitute name where it has
/// none), a junction's substitute name (\??\C:\...), so that makeLinkIn makes a link
/// of the same kind and target from it. 0, or ERROR_INVALID_REPARSE_DATA for data
/// of another kind or that does not hold together.
DWORD storedTargetOf(const unsigned char* data, DWORD size, char* out, size_t* length);
/// Reads the target of the symbolic link or junction at path itself as
/// storedTargetOf gives it. 0, or the system's code of why not.
DWORD readStoredTarget(const wchar_t* path, char* out, size_t* length);
/// Writes into data (at least MAXIMUM_REPARSE_DATA_BUFFER_SIZE bytes) the reparse
/// data of a junction to target (units UTF-16 units, \??\ first), with the print
/// name that the system's own tools give it; its bytes in *size. 0, or
/// ERROR_INVALID_REPARSE_DATA where the target does not fit.
DWORD junctionDataOf(const wchar_t* target, size_t units, unsigned char* data, DWORD* size);

/// Gives the file open at file (opened with FILE_WRITE_ATTRIBUTES) the further name
/// name in the folder open at folder, relative to that handle, never over anything.
/// 0, or the system's code of why not.
DWORD nameFileIn(HANDLE file, HANDLE folder, const wchar_t* name);

/// Opens a wide path (null gives a failure) for reading its information only. A final
/// link is followed unless ownLink is set; folders open too.
HANDLE openWideForInformation(const wchar_t* path, int ownLink);
/// The same for a UTF-8 path.
HANDLE openForInformation(const char* path, int ownLink);
/// The attributes of what path names, or INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(const char* path);
/// The attributes and reparse tag of the entry that path names itself; 1 when missing
/// or unreadable, the last error telling which.
int readOwnEntry(const char* path, DWORD* attributes, DWORD* reparseTag);
/// The same for a wide path.
int readOwnWideEntry(const wchar_t* path, DWORD* attributes, DWORD* reparseTag);

// Whole-path operations that the bodies of folders.h use once the folders on the way
// are held (folders-win32.cpp); the rest of the program changes the destination only
// through folders.h.

/// Sets creation, last-access and last-write time; 0 when set, 1 when the file could
/// not be opened, 2 when setting failed.
int setFileTimes(const char* path, FileTime time);
/// Creates one folder with default security; 0 when created.
int makeDirectory(const char* path);
/// Deletes one file (a link itself, never its target); 0 when deleted.
int deleteFile(const char* path);
/// Puts the file from in the place of to, replacing a file there in one step; 0 when
/// done.
int replaceFile(const char* from, const char* to);
/// Moves the file from to the name to only where nothing stands there yet; 0 when
/// moved.
int moveFileIfAbsent(const char* from, const char* to);
/// Deletes the file (or link itself) at path, also where it is marked read-only
/// (read_only-win32.cpp); 0 when deleted, else 1 with the last error telling why.
int deleteWideFile(const wchar_t* path);
/// Removes the empty folder at path, also where it is marked read-only; 0 when
/// removed, else 1 with the last error telling why.
int removeWideFolder(const wchar_t* path);
/// Moves the file from over the file to, as MoveFileExW with flags and
/// MOVEFILE_REPLACE_EXISTING does, also where to is marked read-only; 0 when moved,
/// else 1 with the last error telling why (to then keeps its mark).
int replaceWideFile(const wchar_t* from, const wchar_t* to, DWORD flags);
/// checkReplaceableIn's answer for path, whose folders are held.
int checkReplaceable(const char* path);
