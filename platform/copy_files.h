// The files a copy reads and writes, by their open handles: the source opened once
// and looked at once, the bytes moved (inside the kernel where it can), holes kept,
// times set, data synced. The bodies live in copy_files-posix.cpp, transfer-posix.cpp
// and durable-posix.cpp, and in their -win32 twins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

/// An open file: a descriptor on POSIX, a handle on Windows.
typedef intptr_t FileHandle;
/// No file is open.
constexpr FileHandle noFile = -1;

/// A source file as its one open and one look told it.
struct SourceFile {
  FileHandle handle;
  int64_t size;       ///< its size when it was opened
  unsigned copyMode;  ///< permission bits for its copy (see copyModeOf in folders.h)
  int mayHaveHoles;   ///< fewer blocks than its size takes: it may be sparse
  uint64_t volume;    ///< the file system it lies on
};

/// Results of openSourceFile.
enum SourceOpenResult {
  sourceOpened = 0,      ///< source filled in; the caller closes its handle
  sourceUnreadable = 1,  ///< could not be opened; failure tells why
  sourceNotRegular = 2,  ///< something else stands there now (a pipe, a device, a folder)
};
/// Opens the source file at path for reading without ever blocking (a pipe put there
/// since the listing opens at once and is refused) and looks at it once. Returns a
/// SourceOpenResult; failure is the system's reason where it is sourceUnreadable.
int openSourceFile(const char* path, SourceFile* source, int* failure);

/// Asks the system to start reading the first bytes of a source into memory, and
/// returns at once: the copy that reads it later finds them there, and a disk that
/// is asked for several files at once serves them in fewer trips. Only reads. 0 when
/// asked; 1 where the system takes no such hint (its own read-ahead of sequential
/// reads is then all there is).
int hintReadAhead(FileHandle source, uint64_t bytes);
/// 1 while the open source still has a name in its file system; 0 once every name it
/// had was removed (or it cannot be looked at). A source opened well before its copy
/// may have been deleted or replaced meanwhile: it is then opened again by its path.
int sourceStillNamed(FileHandle source);

/// Reads up to count bytes at the file's position; the bytes read, 0 at its end, -1
/// on failure.
long long readFromFile(FileHandle file, void* buffer, size_t count);
/// Writes count bytes at the file's position; the bytes written, -1 on failure.
long long writeToFile(FileHandle file, const void* buffer, size_t count);
/// Closes the file; 0 when the system reported no failure (some report a failed
/// write only here).
int closeFile(FileHandle file);

/// Readies the calling thread to write copies: where the system allows, it gets a
/// descriptor table of its own, so that its opens and closes take no lock that other
/// threads take, and none of its descriptors is seen by another thread. Returns 1 when
/// it has one; the thread must then never use a descriptor opened by another.
int beginCopyThread();

/// copyInKernel's results when the system did not copy, and the caller copies the
/// rest through its own buffer: it cannot copy between these files (another file
/// system, a kind of file it does not copy, no such call), or the call failed.
constexpr long long kernelCopyUnavailable = -1;
constexpr long long kernelCopyFailed = -2;
/// Copies up to count bytes from the source's position to the destination's inside
/// the kernel, moving both positions past them. Returns the bytes moved, 0 at the
/// source's end, or kernelCopyUnavailable or kernelCopyFailed when nothing was moved:
/// the rest is then copied through a buffer, which meets and reports a real failure
/// again. Windows always gives kernelCopyUnavailable.
long long copyInKernel(FileHandle source, FileHandle destination, long long count);

/// Results of findSourceData.
enum SourceDataResult {
  sourceDataFound = 0,     ///< data from *start up to *end, where a hole or the end begins
  sourceDataEnded = 1,     ///< no data from the offset on: a hole up to the size, *start
  sourceHolesUnknown = 2,  ///< the system does not tell: read everything from the offset
};
/// Where the source's data lies at or after from, its position moved to *start when
/// found. Only for a source that may have holes (SourceFile::mayHaveHoles). Only reads.
int findSourceData(FileHandle source, long long from, long long* start, long long* end);
/// Moves the position of a copy forward to offset, past a hole of its source, writing
/// nothing: the bytes passed over stay a hole where the file system keeps holes (on
/// Windows the copy is made sparse for it first) and read as zeros everywhere. 0 when
/// moved.
int skipHoleInCopy(FileHandle file, long long offset);
/// Makes length the size of a copy: what lies past its last write is a hole, and room
/// reserved past length is given back. 0 when done.
int setCopyLength(FileHandle file, long long length);
/// Reserves room on disk in a copy for the rest of the source's data, from from up to
/// until or the source's size, leaving the copy's size as it is. Returns the end of
/// the room reserved, or from where none was.
long long reserveRoomForRest(FileHandle file, const SourceFile& source, long long from,
                             long long until);

/// Sets the times of a copy open for writing, after its last write; 0 when set, 1
/// where they must be set by path once it is closed (setFileTimesIn).
int setOpenFileTimes(FileHandle file, FileTime time);
/// Reads the last-write time and the identity of a copy open for writing; 0 on
/// success, 1 where they must be read by path once it is closed.
int getOpenFileFacts(FileHandle file, FileTime* time, FileIdentity* identity);

/// Starts writing to disk what was written so far to a copy, and returns at once.
void startDataWrite(FileHandle file);
/// Writes a copy's data to disk and waits; 0 when it is there.
int syncFileData(FileHandle file);
/// Writes to disk everything written to the file system that file lies on, and
/// waits: one call for all the copies written there. 0 when it reported no failure;
/// 1 when it did, or where the system has no such call (each copy is then synced by
/// itself: syncFileData).
int syncFileSystemOf(FileHandle file);
/// True where syncFileSystemOf syncs a whole file system at once.
int syncsWholeFileSystems();
/// Opens the folder at path to sync its file system through (syncFileSystemOf), and
/// tells which file system that is; noFile when it cannot be opened.
FileHandle openFolderForSync(const char* path, uint64_t* volume);
