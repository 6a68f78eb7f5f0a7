// The bytes of one copy: the source's data inside the kernel where it can, through
// the thread's buffer where not, and the holes of a sparse source passed over.
#include "copy/transfer.h"

#include <algorithm>
#include <climits>

#include "base/failure_report.h"
#include "base/progress.h"
#include "base/settings.h"

namespace {
// transferRestInBlocks: the kernel copied what it could, the block loop copies the rest.
constexpr int transferRestInBlocks = 3;

// Once a copy has written this much of one stretch of data, the room for the rest
// of that stretch is reserved at once: that spares the file system its work per
// block on large files, and files below it the two extra calls. Holes get none.
constexpr long long reserveFrom = 32LL * copyBufferSize;
// A large copy's data starts on its way to the disk at every such step, so that the
// disk writes while the copy goes on.
constexpr long long writebackStep = 256LL * copyBufferSize;
// Bytes the kernel moves per call: an interruption stops a copy within one such
// step, and the first step of a large copy is where its room is reserved.
constexpr long long kernelStep = reserveFrom;
// The end of the stretch a copy reads where holes are not told apart: the source's
// end, found by reading.
constexpr long long toSourceEnd = LLONG_MAX;

struct Transfer {
  TransferContext* context;
  const SourceFile* source;
  FileHandle destination;
  long long written;       ///< bytes of data written; the holes passed over are not counted
  long long at;            ///< where both files stand, holes included
  long long dataEnd;       ///< the end of the last bytes written: the copy's size so far
  long long length;        ///< the size the copy ends with, once the source's end is found
  long long stretchStart;  ///< where the data being copied begins
  long long stretchEnd;    ///< where it ends: a hole, the end, or toSourceEnd
  int failure;             ///< why the transfer failed: the system's reason, or a test seam's
  long long reserved;
  int reserveTried;       ///< for the stretch being copied
  int inBlocks;           ///< the kernel handed over: blocks copy the rest of the file
  long long writebackAt;  ///< where the next writeback of a large copy starts
};

void advance(Transfer* copy, long long bytes) {
  copy->written += bytes;
  copy->at += bytes;
  if (bytes > 0) copy->dataEnd = copy->at;
}

void callBlockSeam(const TransferContext* context, long long offset) {
  const CopySeams* seams = context->seams;
  if (context->seamLock) takeLock(context->seamLock);
  seams->blockDone(seams->context, offset);
  if (context->seamLock) releaseLock(context->seamLock);
}

void afterStep(Transfer* copy) {
  if (!copy->reserveTried && copy->at - copy->stretchStart >= reserveFrom) {
    copy->reserveTried = 1;
    long long end =
        reserveRoomForRest(copy->destination, *copy->source, copy->at, copy->stretchEnd);
    copy->reserved = std::max(copy->reserved, end);
  }
  if (!copy->context->noSync && copy->written >= copy->writebackAt) {
    startDataWrite(copy->destination);
    copy->writebackAt = copy->written + writebackStep;
  }
  noteCopyOffset(copy->context->writer, copy->at);
  if (copy->context->seams->blockDone) callBlockSeam(copy->context, copy->at);
}

// Writes the first count bytes of the buffer, or fewer where the seam's full disk
// comes first; true when all of them were written.
bool writeBlock(Transfer* copy, size_t count) {
  long long faultAfter = copy->context->seams->writeFaultAfter;
  size_t allowed = count;
  if (faultAfter >= 0 && copy->written + static_cast<long long>(count) > faultAfter)
    allowed = faultAfter > copy->written ? static_cast<size_t>(faultAfter - copy->written) : 0;
  long long done =
      allowed == 0 ? 0 : writeToFile(copy->destination, copy->context->buffer, allowed);
  if (done == static_cast<long long>(count)) return true;
  copy->failure = allowed < count ? failureTestFault : lastFailureCode();
  return false;
}

// Blocks of copyBufferSize until the first short read, whose bytes (maybe none) are
// written too: n / copyBufferSize + 1 reads for n bytes. A stretch that ends at a
// hole ends with its last byte instead.
int transferInBlocks(Transfer* copy) {
  size_t wanted;
  long long got;
  do {
    wanted = static_cast<size_t>(std::min<long long>(copyBufferSize, copy->stretchEnd - copy->at));
    if (wanted == 0) return transferComplete;
    if (interruptRequested()) return transferStopped;
    got = readFromFile(copy->source->handle, copy->context->buffer, wanted);
    if (got < 0) {
      copy->failure = lastFailureCode();
      return transferFailed;
    }
    if (!writeBlock(copy, static_cast<size_t>(got))) return transferFailed;
    advance(copy, got);
    afterStep(copy);
  } while (got == static_cast<long long>(wanted));
  return transferComplete;
}

// Steps inside the kernel until the stretch's or the source's end. Returns
// transferRestInBlocks where the block loop is to copy the rest: the kernel cannot
// copy these files, or its first step moved nothing (an empty file, or one whose
// size the system does not tell, which only reading shows), or a seam's limit is
// reached.
int transferInKernel(Transfer* copy) {
  const CopySeams* seams = copy->context->seams;
  for (;;) {
    if (copy->at >= copy->stretchEnd) return transferComplete;
    if (interruptRequested()) return transferStopped;
    long long step = std::min(kernelStep, copy->stretchEnd - copy->at);
    if (seams->kernelFallbackAt >= 0)
      step = std::min(step, seams->kernelFallbackAt - copy->written);
    if (seams->writeFaultAfter >= 0) step = std::min(step, seams->writeFaultAfter - copy->written);
    if (step <= 0) return transferRestInBlocks;
    long long moved = copyInKernel(copy->source->handle, copy->destination, step);
    if (moved == kernelCopyUnavailable && copy->written == 0) copy->context->kernelRefused = 1;
    if (moved < 0 || (moved == 0 && copy->written == 0)) return transferRestInBlocks;
    if (moved == 0) return transferComplete;
    advance(copy, moved);
    afterStep(copy);
    // Short of the step and at the size the source had when opened: its end, as a
    // short read is; the call that would only say so is spared.
    if (moved < step && copy->at >= copy->source->size) return transferComplete;
  }
}

// Copies from where both files stand up to the end of the stretch, or to the
// source's end where that comes first.
int transferStretch(Transfer* copy, long long end) {
  copy->stretchStart = copy->at;
  copy->stretchEnd = end;
  copy->reserveTried = 0;
  if (!copy->inBlocks) {
    int result = transferInKernel(copy);
    if (result != transferRestInBlocks) return result;
    copy->inBlocks = 1;
  }
  return transferInBlocks(copy);
}

// Copies the source's data stretch by stretch and passes over its holes, which stay
// holes in the copy; the copy's length is the source's size as last found, holes at
// its end included, or where reading ended. Where the system does not tell holes,
// every byte is read, up to the end that reading finds.
int transferData(Transfer* copy) {
  int stalled = 0;
  for (;;) {
    if (interruptRequested()) return transferStopped;
    long long start = 0, end = 0;
    int found = copy->source->mayHaveHoles
                    ? findSourceData(copy->source->handle, copy->at, &start, &end)
                    : sourceHolesUnknown;
    if (found == sourceDataEnded) {
      copy->length = std::max(copy->dataEnd, start);
      return transferComplete;
    }
    // Data said to lie where reading has just found the end: reading has the last word.
    if (found == sourceHolesUnknown || (stalled && start == copy->at)) {
      int result = transferStretch(copy, toSourceEnd);
      copy->length = copy->dataEnd;
      return result;
    }
    if (start > copy->at) {
      if (skipHoleInCopy(copy->destination, start) != 0) {
        copy->failure = lastFailureCode();
        return transferFailed;
      }
      copy->at = start;
    }
    int result = transferStretch(copy, end);
    if (result != transferComplete) return result;
    // Short of its end: the source shrank while it was copied.
    stalled = copy->at == start;
  }
}
}  // namespace

int transferFile(TransferContext* context, const SourceFile& source, FileHandle destination,
                 long long* bytes, int* failure) {
  Transfer copy = {};
  copy.context = context;
  copy.source = &source;
  copy.destination = destination;
  copy.writebackAt = writebackStep;
  // An empty file takes one read to tell so, where the kernel would take two calls.
  copy.inBlocks = !context->tryKernel || source.size == 0;
  context->kernelRefused = 0;
  int result = transferData(&copy);
  *failure = copy.failure;
  if (result != transferComplete) return result;
  // A hole at the source's end makes the copy longer than its last data. A source
  // that shrank while it was copied leaves room reserved past the copy's end: were
  // it not given back, it would only waste space, as the copy is whole.
  if (copy.length > copy.dataEnd || copy.reserved > copy.length) {
    if (setCopyLength(destination, copy.length) != 0 && copy.length > copy.dataEnd) {
      *failure = lastFailureCode();
      return transferFailed;
    }
  }
  *bytes = copy.written;
  return transferComplete;
}
