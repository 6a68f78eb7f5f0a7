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

/// Symbolic links, junctions and mount points stand for another place. Other reparse
/// points (cloud-synced or deduplicated files and folders) are the thing itself and
/// are listed like any other entry.
inline bool leadsElsewhere(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag);
}

/// Opens a wide path (null gives a failure) for reading its information only. A final
/// link is followed unless ownLink is set; folders open too.
HANDLE openWideForInformation(const wchar_t* path, int ownLink);
/// The same for a UTF-8 path.
HANDLE openForInformation(const char* path, int ownLink);
/// The attributes of what path names, or INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(const char* path);
/// The attributes and reparse tag of the entry that path names itself; 1 when missing.
int readOwnEntry(const char* path, DWORD* attributes, DWORD* reparseTag);

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
/// checkReplaceableIn's answer for path, whose folders are held.
int checkReplaceable(const char* path);
