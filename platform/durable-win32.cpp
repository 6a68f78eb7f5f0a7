// Windows bodies of the durability operations. Windows has no call that syncs a
// volume for an ordinary user, so each copy is flushed by itself; the moves that put
// copies in place are written through (MOVEFILE_WRITE_THROUGH).
#include <windows.h>

#include "platform/copy_files.h"

void startDataWrite(FileHandle) {
  // The flush that follows does the writing: nothing to start apart.
}

int syncFileData(FileHandle file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) ? 0 : 1;
}

int syncFileSystemOf(FileHandle) {
  return 1;
}

int syncsWholeFileSystems() {
  return 0;
}

FileHandle openFolderForSync(const char*, uint64_t*) {
  return noFile;
}

int syncChangedFileSystems(const char*) {
  // Every move was written through; NTFS writes the deletions out from its own log.
  return 0;
}

int allowOpenFiles(int wanted) {
  // The system's handles are not counted against a limit of this kind.
  return wanted;
}
