// The read-ahead window of a worker: the sources of the copies it will write next,
// opened in their order and asked to be read while the copy before them is written.
// A cold source then costs the disk one queue of many reads, not one read after the
// other. The worker that opens a source is the one that copies it: a descriptor never
// leaves the thread that opened it.
#include <cstdlib>

#include "copy/room.h"

namespace {
// Of one file, at most its first bytes are asked for: the system's own read-ahead
// takes the rest as it is copied.
constexpr uint64_t readAheadEach = 8u << 20;

HeldSource* heldAt(ReadAheadWindow* ahead, int position) {
  return &ahead->files[(ahead->first + position) % ahead->limit];
}

// Forgets the oldest source held; closes it unless its copy took it.
void dropOldest(ReadAheadWindow* ahead, int closeIt) {
  HeldSource* oldest = heldAt(ahead, 0);
  if (closeIt) closeFile(oldest->source.handle);
  ahead->bytes -= oldest->bytes;
  ahead->first = (ahead->first + 1) % ahead->limit;
  --ahead->count;
}
}  // namespace

int openReadAhead(ReadAheadWindow* ahead, int files, uint64_t byteLimit) {
  *ahead = ReadAheadWindow{};
  if (files <= 0) return 0;
  ahead->files = static_cast<HeldSource*>(malloc(sizeof(HeldSource) * static_cast<size_t>(files)));
  if (!ahead->files) return 1;
  ahead->limit = files;
  ahead->byteLimit = byteLimit;
  return 0;
}

void dropReadAhead(ReadAheadWindow* ahead) {
  while (ahead->count > 0) dropOldest(ahead, 1);
}

void closeReadAhead(ReadAheadWindow* ahead) {
  dropReadAhead(ahead);
  free(ahead->files);
  *ahead = ReadAheadWindow{};
}

int readAheadSource(ReadAheadWindow* ahead, TreeFolders* sources, const CopyJob* job) {
  if (ahead->limit == 0 || ahead->stopped) return readAheadUnavailable;
  uint64_t listed = job->listedSize > 0 ? static_cast<uint64_t>(job->listedSize) : 0;
  uint64_t bytes = listed < readAheadEach ? listed : readAheadEach;
  if (ahead->count == ahead->limit || (ahead->count > 0 && ahead->bytes + bytes > ahead->byteLimit))
    return readAheadFull;
  SourceFile source;
  int failure = 0;
  if (openSourceFileIn(sources, job->sourcePath, &source, &failure) != sourceOpened) {
    // Where the process holds all the files it may, the copies need them more.
    if (!isTooManyOpenFiles(failure)) return readAheadFailed;
    ahead->stopped = 1;
    return readAheadUnavailable;
  }
  int hinted = bytes == 0 || hintReadAhead(source.handle, bytes) == 0;
  *heldAt(ahead, ahead->count) = HeldSource{job, source, bytes};
  ++ahead->count;
  ahead->bytes += bytes;
  if (hinted) return readAheadStarted;
  // Held all the same: its copy takes it, and no source is opened twice.
  ahead->stopped = 1;
  return readAheadUnavailable;
}

void takeReadAhead(CopyWorker* worker, const CopyJob* job) {
  ReadAheadWindow* ahead = &worker->ahead;
  for (int position = 0; position < ahead->count; ++position) {
    if (heldAt(ahead, position)->job != job) continue;
    while (position-- > 0) dropOldest(ahead, 1);
    // Removed or replaced since it was opened: its copy opens the path again, and
    // tells a source that is gone as vanished rather than copying what was deleted.
    int named = sourceStillNamed(heldAt(ahead, 0)->source.handle);
    if (named) worker->readySource = heldAt(ahead, 0)->source;
    worker->sourceReady = named;
    dropOldest(ahead, !named);
    return;
  }
}
