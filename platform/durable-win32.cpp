// Windows bodies of the durability operations. Windows has no call that syncs a
// volume for an ordinary user, so each copy is flushed by itself; the moves that put
// copies in place are written through (MOVEFILE_WRITE_THROUGH).
#include <io.h>
#include <windows.h>

#include "platform/platform.h"

void startDataWrite(FILE*) {
  // The flush that follows does the writing: nothing to start apart.
}

int syncFileData(FILE* file) {
  if (fflush(file) != 0) return 1;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) ? 0 : 1;
}

int syncFilesData(FILE* const* files, int count, unsigned char* failed) {
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    failed[i] = syncFileData(files[i]) != 0;
    failures += failed[i];
  }
  return failures;
}

int syncChangedFileSystems(const char*) {
  // Every move was written through; NTFS writes the deletions out from its own log.
  return 0;
}

int allowOpenFiles(int wanted) {
  // Copies are flushed one by one here: none waits open in a batch.
  return wanted;
}
