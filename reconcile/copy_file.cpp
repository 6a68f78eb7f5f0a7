// Writing one destination file: the source's bytes inside the kernel where it can,
// through copyBuffer where not, then its time.
#include "reconcile/copy_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "reconcile/copy_batch.h"
#include "reconcile/destination_clock.h"
#include "reconcile/partial_name.h"
#include "run/settings.h"

long long copyWriteFaultAfter = -1;
long long copyKernelFallbackAt = -1;
void (*copyBlockHook)(long long bytesWritten) = nullptr;
int copyTimesIgnored = 0;

namespace {
// transferRestInBlocks: the kernel copied what it could, the block loop copies the rest.
enum TransferResult { transferComplete, transferFailed, transferStopped, transferRestInBlocks };

// Opens the file the copy is written to; a link found there is replaced, never
// written through. What stands at the destination is looked at first: one that may
// not be replaced (read-only, a folder) fails the create as a missing folder does,
// before anything is written, and holdsFile tells whether a file stands there.
FILE* openDestination(const char* path, const char* writePath, int* holdsFile) {
  int found = checkReplaceable(path);
  if (found >= replaceableRefused) return nullptr;
  *holdsFile = found == replaceableFile;
  return createFileForWriting(writePath);
}

// Any failure to create the destination is taken as a missing folder: the folder
// chain is created and the open tried once more.
FILE* repairFolderAndOpen(const char* path, const char* writePath, int* holdsFile) {
  char folder[pathBufferSize];
  if (destinationFolder(path, folder) != 0) return nullptr;
  if (verbose) consolePrintf("Creating folder [%s]\n", folder);
  createFolderChain(folder);
  return openDestination(path, writePath, holdsFile);
}

// Writes the first count bytes of copyBuffer; returns the number written.
size_t writeBlock(FILE* destination, size_t count, long long written) {
  size_t allowed = count;
  if (copyWriteFaultAfter >= 0 && written + static_cast<long long>(count) > copyWriteFaultAfter)
    allowed =
        copyWriteFaultAfter > written ? static_cast<size_t>(copyWriteFaultAfter - written) : 0;
  if (allowed == 0) return 0;
  return fwrite(copyBuffer, 1, allowed, destination);
}

// Once a copy has reached this size, the room for the rest of it is reserved at
// once: that spares the file system its work per block on large files, and files
// below it the two extra calls.
constexpr long long reserveFrom = 32LL * copyBufferSize;
// A large copy's data starts on its way to the disk at every such step, so that the
// disk writes while the copy goes on.
constexpr long long writebackStep = 256LL * copyBufferSize;
constexpr long long writebackFrom = reserveFrom;
// Bytes the kernel moves per call: an interruption stops a copy within one such
// step, and the first step of a large copy is where its room is reserved.
constexpr long long kernelStep = reserveFrom;

struct Transfer {
  long long written;
  long long reserved;
  int reserveTried;
  long long writebackAt;  ///< where the next writeback of a large copy starts
};

void afterStep(Transfer* copy, FILE* source, FILE* destination) {
  if (!copy->reserveTried && copy->written >= reserveFrom) {
    copy->reserveTried = 1;
    copy->reserved = reserveRoomForRest(destination, source, copy->written);
  }
  if (!noSync && copy->written >= copy->writebackAt) {
    startDataWrite(destination);
    copy->writebackAt = copy->written + writebackStep;
  }
  if (copyBlockHook) copyBlockHook(copy->written);
}

// Blocks of copyBufferSize until the first short read, whose bytes (maybe none) are
// written too: n / copyBufferSize + 1 reads for n bytes.
int transferInBlocks(FILE* source, FILE* destination, Transfer* copy) {
  size_t got;
  do {
    if (interruptRequested()) return transferStopped;
    got = fread(copyBuffer, 1, copyBufferSize, source);
    if (ferror(source)) return transferFailed;
    if (writeBlock(destination, got, copy->written) != got) return transferFailed;
    copy->written += static_cast<long long>(got);
    afterStep(copy, source, destination);
  } while (got == static_cast<size_t>(copyBufferSize));
  return transferComplete;
}

// Steps inside the kernel until the source's end. Returns transferRestInBlocks
// where the block loop is to copy the rest: the kernel cannot copy these files, or
// its first step moved nothing (an empty file, or one whose size the system does
// not tell, which only reading shows), or a test seam's limit is reached.
int transferInKernel(FILE* source, FILE* destination, Transfer* copy) {
  for (;;) {
    if (interruptRequested()) return transferStopped;
    long long step = kernelStep;
    if (copyKernelFallbackAt >= 0) step = std::min(step, copyKernelFallbackAt - copy->written);
    if (copyWriteFaultAfter >= 0) step = std::min(step, copyWriteFaultAfter - copy->written);
    if (step <= 0) return transferRestInBlocks;
    long long moved = copyInKernel(source, destination, step);
    if (moved == kernelCopyUnavailable || (moved == 0 && copy->written == 0))
      return transferRestInBlocks;
    if (moved == 0) return transferComplete;
    copy->written += moved;
    afterStep(copy, source, destination);
  }
}

int transfer(FILE* source, FILE* destination, long long* bytes) {
  Transfer copy = {0, 0, 0, writebackStep};
  int result = transferInKernel(source, destination, &copy);
  if (result == transferRestInBlocks) result = transferInBlocks(source, destination, &copy);
  if (result != transferComplete) return result;
  // A source that shrank while it was copied leaves room reserved past the copy's
  // end. Were it not given back, it would only waste space: the copy is whole.
  if (copy.reserved > copy.written) releaseRoomAfter(destination, copy.written);
  *bytes = copy.written;
  return transferComplete;
}

int abandonCopy(const char* path, const char* writePath, int transferred) {
  int outcome = discardIncompleteCopy(writePath);
  if (verbose) {
    const char* what = transferred == transferStopped ? "Copy interrupted" : "Failed to copy";
    consolePrintf("%s [%s], the incomplete copy %s !\n", what, path, discardOutcomes[outcome]);
  }
  return transferred == transferStopped ? copyInterrupted : copyTransferFailed;
}

// Results of stampOpenFile: timesKept, timesByPath (set them by path once closed),
// or timesNotKept: the file system took the time and kept another, as one that
// keeps the time of writing does. That is no success.
enum StampResult { timesNotKept = -1, timesByPath = 0, timesKept = 1 };

// Within the coarsest step of any clock the time counts as kept: coarse clocks keep
// only what they can hold.
int timeKept(FileTime given, FileTime kept) {
  int64_t gap = fileTimeValue(kept) - fileTimeValue(given);
  return gap < coarsestStep && gap > -coarsestStep;
}

int stampOpenFile(FILE* file, FileTime time) {
  if (!copyTimesIgnored && setOpenFileTimes(file, time) != 0) return timesByPath;
  // What cannot be read back on the open file is set and read back by path.
  FileTime kept;
  if (getOpenFileTime(file, &kept) != 0) return timesByPath;
  return timeKept(time, kept) ? timesKept : timesNotKept;
}

int stampByPath(const char* path, FileTime time) {
  if (!copyTimesIgnored && setFileTimes(path, time) != 0) return timesNotKept;
  FileTime kept;
  return getFileTime(path, &kept) != 0 || timeKept(time, kept) ? timesKept : timesNotKept;
}

int reportStamp(const char* path, int timesSet) {
  if (!timesSet) {
    if (verbose) consolePrintf("Failed to set the filetime !\n");
    return copyTimeNotSet;
  }
  if (verbose) consolePrintf("Filetime set successfully %s!\n", path);
  return copyDone;
}

// A copy written straight into the destination is on disk before it takes the
// source's time.
int finishInPlace(const char* path, FILE* destination, FileTime time) {
  int synced = noSync || syncFileData(destination) == 0;
  int timesSet = synced ? stampOpenFile(destination, time) : timesByPath;
  if (fclose(destination) != 0) synced = 0;
  if (!synced) return abandonCopy(path, path, transferFailed);
  if (timesSet == timesByPath) timesSet = stampByPath(path, time);
  return reportStamp(path, timesSet == timesKept);
}

// Stamps the finished copy, unless its times were set while it was open, and puts
// it in the destination's place.
int placeCopy(const char* path, const char* writePath, FileTime time, int timesSet, int holdsFile) {
  if (timesSet == timesByPath) timesSet = stampByPath(writePath, time);
  int placing = moveIntoPlace(path, writePath, holdsFile);
  if (placing != placed) {
    int outcome = discardIncompleteCopy(writePath);
    if (!verbose) return copyCannotCreate;
    if (placing == placeRefused)
      consolePrintf("Cannot create file in folder !\n");
    else
      consolePrintf("Failed to copy [%s], the copy could not take its place and %s !\n", path,
                    discardOutcomes[outcome]);
    return copyCannotCreate;
  }
  return reportStamp(path, timesSet == timesKept);
}

// A finished partial file: stamped on the open file, it waits in the batch for its
// data to reach the disk; otherwise it is synced, stamped and placed at once.
int finishPartial(const char* path, const char* writePath, FILE* destination, FileTime time,
                  int holdsFile, int partial, long long bytes) {
  int timesSet = stampOpenFile(destination, time);
  if (timesSet == timesKept && partial == partialOwnName && copiesBatched()) {
    // Small copies are written out by their batch's sync, by the system's own threads
    // while this one waits: starting each apart costs this thread more than it saves.
    if (bytes >= writebackFrom) startDataWrite(destination);
    if (queueCopy(destination, path, writePath, holdsFile, bytes) == 0) return reportStamp(path, 1);
  }
  int synced = noSync || (syncFileData(destination) == 0 && !syncFaultHere());
  if (fclose(destination) != 0) return abandonCopy(path, writePath, transferFailed);
  if (!synced) return failUnwrittenCopy(path, writePath);
  return placeCopy(path, writePath, time, timesSet, holdsFile);
}

// The path the last copy was written to.
char lastWritePath[pathBufferSize];
}  // namespace

const char* lastCopyWritePath() {
  return lastWritePath;
}

int copyFileWithTime(const char* destinationPath, const char* sourcePath, FileTime time) {
  lastWritePath[0] = '\0';
  if (previewOnly) return copyPreview;
  time = stampFor(destinationPath, time);
  // Stopped before this file: its destination, maybe an older copy, stays as it is.
  if (interruptRequested()) return copyInterrupted;
  // The source is opened first, so that one that cannot be read never truncates
  // the destination.
  FILE* source = openFileForReading(sourcePath);
  if (!source) return copySourceUnreadable;
  char* writePath = lastWritePath;
  int partial = choosePathToWrite(destinationPath, writePath);
  int holdsFile = 0;
  FILE* destination = openDestination(destinationPath, writePath, &holdsFile);
  if (!destination) destination = repairFolderAndOpen(destinationPath, writePath, &holdsFile);
  if (!destination && partial != partialNone) {
    // A folder that takes no new files may still let its files be rewritten.
    memcpy(writePath, destinationPath, strlen(destinationPath) + 1);
    partial = partialNone;
    destination = openDestination(destinationPath, writePath, &holdsFile);
  }
  if (!destination) {
    if (verbose) consolePrintf("Cannot create file in folder !\n");
    fclose(source);
    return copyCannotCreate;
  }
  long long bytes = 0;
  int transferred = transfer(source, destination, &bytes);
  fclose(source);
  if (transferred != transferComplete) {
    fclose(destination);
    return abandonCopy(destinationPath, writePath, transferred);
  }
  if (partial == partialNone) return finishInPlace(destinationPath, destination, time);
  return finishPartial(destinationPath, writePath, destination, time, holdsFile, partial, bytes);
}
