// Writing one destination file: the source's bytes inside the kernel where it can,
// through copyBuffer where not, then its time.
#include "reconcile/copy_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/folders.h"
#include "reconcile/copy_batch.h"
#include "reconcile/destination_clock.h"
#include "reconcile/partial_name.h"
#include "run/failure_report.h"
#include "run/progress.h"
#include "run/settings.h"

long long copyWriteFaultAfter = -1;
long long copyKernelFallbackAt = -1;
void (*copyBlockHook)(long long bytesWritten) = nullptr;
int copyTimesIgnored = 0;

namespace {
// transferRestInBlocks: the kernel copied what it could, the block loop copies the rest.
enum TransferResult { transferComplete, transferFailed, transferStopped, transferRestInBlocks };

// An empty folder where the source has a file gives way to it: it holds nothing to
// lose, and kept, it would fail this copy in every run. One that holds anything stays.
int giveWayIfEmptyFolder(const char* path) {
  if (removeEmptyFolder(path) != 0) return 0;
  if (verbose) consolePrintf("Removed the empty folder [%s]\n", path);
  return 1;
}

// Opens the file the copy is written to; a link found there is replaced, never
// written through. What stands at the destination is looked at first: one that may
// not be replaced (read-only, a folder that holds anything) fails the create as a
// missing folder does, before anything is written, and holdsFile tells whether a
// file stands there. On failure, failure tells the system's reason. The copy is
// created with its final bits (copyModeOf), never wider.
FILE* openDestination(DestinationFolders* folders, const char* path, const char* writePath,
                      unsigned mode, int* holdsFile, int* failure) {
  int found = checkReplaceableIn(folders, path);
  if (found >= replaceableRefused) {
    *failure = lastFailureCode();
    if (found != replaceableRefused || !giveWayIfEmptyFolder(path)) return nullptr;
    found = replaceableFree;
  }
  *holdsFile = found == replaceableFile;
  FILE* file = createFileIn(folders, writePath, mode);
  if (!file) *failure = lastFailureCode();
  return file;
}

// Where the process holds all the files it may, the finished copies waiting in
// their batch are put in place and the files read ahead let go: the copy then goes
// on. True when that was the reason of the failure.
int freedOpenFiles(int failure) {
  if (!isTooManyOpenFiles(failure)) return 0;
  placeQueuedCopies();
  endReadAhead();
  return 1;
}

// Any failure to create the destination is taken as a missing folder: the folder
// chain is created and the open tried once more.
// New folders take the bits of their twins in the source folder of sourcePath.
FILE* repairFolderAndOpen(DestinationFolders* folders, const char* path, const char* sourcePath,
                          const char* writePath, unsigned mode, int* holdsFile, int* failure) {
  char folder[pathBufferSize];
  char sourceFolder[pathBufferSize];
  if (destinationFolder(path, folder) != 0) {
    *failure = failurePathTooLong;
    return nullptr;
  }
  if (verbose) consolePrintf("Creating folder [%s]\n", folder);
  const char* twin = destinationFolder(sourcePath, sourceFolder) == 0 ? sourceFolder : nullptr;
  makeFoldersIn(folders, folder, twin);
  FILE* file = openDestination(folders, path, writePath, mode, holdsFile, failure);
  // Where the folder was missing, the first open failed for that reason alone, and
  // the folder just made may hold the last file the process may open: freeing files
  // must then come after it. Folders made already are passed over.
  if (!file && freedOpenFiles(*failure)) {
    makeFoldersIn(folders, folder, twin);
    file = openDestination(folders, path, writePath, mode, holdsFile, failure);
  }
  return file;
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
  int failure;  ///< why the transfer failed: the system's reason, or a test seam's
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
  noteCopyBytes(copy->written);
  if (copyBlockHook) copyBlockHook(copy->written);
}

// Blocks of copyBufferSize until the first short read, whose bytes (maybe none) are
// written too: n / copyBufferSize + 1 reads for n bytes.
int transferInBlocks(FILE* source, FILE* destination, Transfer* copy) {
  size_t got;
  do {
    if (interruptRequested()) return transferStopped;
    got = fread(copyBuffer, 1, copyBufferSize, source);
    if (ferror(source)) {
      copy->failure = lastFailureCode();
      return transferFailed;
    }
    if (writeBlock(destination, got, copy->written) != got) {
      copy->failure = copyWriteFaultAfter >= 0 ? failureTestFault : lastFailureCode();
      return transferFailed;
    }
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

int transfer(FILE* source, FILE* destination, long long* bytes, int* failure) {
  Transfer copy = {0, 0, 0, 0, writebackStep};
  int result = transferInKernel(source, destination, &copy);
  if (result == transferRestInBlocks) result = transferInBlocks(source, destination, &copy);
  *failure = copy.failure;
  if (result != transferComplete) return result;
  // A source that shrank while it was copied leaves room reserved past the copy's
  // end. Were it not given back, it would only waste space: the copy is whole.
  if (copy.reserved > copy.written) releaseRoomAfter(destination, copy.written);
  *bytes = copy.written;
  return transferComplete;
}

// failure: the reason of a failed transfer (transferFailed), for its line.
int abandonCopy(DestinationFolders* folders, const char* path, const char* writePath,
                int transferred, int failure) {
  int outcome = discardIncompleteCopy(folders, writePath);
  if (transferred != transferStopped) reportFailure("copy to", path, nullptr, failure);
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

int stampByPath(DestinationFolders* folders, const char* path, FileTime time) {
  if (!copyTimesIgnored && setFileTimesIn(folders, path, time) != 0) return timesNotKept;
  FileTime kept;
  return getFileTime(path, &kept) != 0 || timeKept(time, kept) ? timesKept : timesNotKept;
}

// failure: why the times could not be set, when they were not.
int reportStamp(const char* path, int timesSet, int failure) {
  if (!timesSet) {
    if (verbose) consolePrintf("Failed to set the filetime !\n");
    reportFailure("set the time of", path, nullptr, failure);
    return copyTimeNotSet;
  }
  if (verbose) consolePrintf("Filetime set successfully %s!\n", path);
  return copyDone;
}

// A copy written straight into the destination is on disk before it takes the
// source's time.
int finishInPlace(DestinationFolders* folders, const char* path, FILE* destination, FileTime time) {
  int synced = noSync || syncFileData(destination) == 0;
  int failure = synced ? 0 : lastFailureCode();
  int timesSet = synced ? stampOpenFile(destination, time) : timesByPath;
  if (fclose(destination) != 0 && synced) {
    synced = 0;
    failure = lastFailureCode();
  }
  if (!synced) return abandonCopy(folders, path, path, transferFailed, failure);
  if (timesSet == timesByPath) timesSet = stampByPath(folders, path, time);
  return reportStamp(path, timesSet == timesKept, timesSet == timesKept ? 0 : lastFailureCode());
}

// Stamps the finished copy, unless its times were set while it was open, and puts
// it in the destination's place.
int placeCopy(DestinationFolders* folders, const char* path, const char* writePath, FileTime time,
              int timesSet, int holdsFile) {
  int stampFailure = 0;
  if (timesSet == timesByPath) {
    timesSet = stampByPath(folders, writePath, time);
    if (timesSet != timesKept) stampFailure = lastFailureCode();
  }
  int failure = 0;
  int placing = moveIntoPlace(folders, path, writePath, holdsFile, &failure);
  if (placing != placed) {
    int outcome = discardIncompleteCopy(folders, writePath);
    reportFailure(placing == placeRefused ? "create the file" : "put the copy in place", path,
                  nullptr, failure);
    if (!verbose) return copyCannotCreate;
    if (placing == placeRefused)
      consolePrintf("Cannot create file in folder !\n");
    else
      consolePrintf("Failed to copy [%s], the copy could not take its place and %s !\n", path,
                    discardOutcomes[outcome]);
    return copyCannotCreate;
  }
  return reportStamp(path, timesSet == timesKept, stampFailure);
}

// A finished partial file: stamped on the open file, it waits in the batch for its
// data to reach the disk; otherwise it is synced, stamped and placed at once.
int finishPartial(DestinationFolders* folders, const char* path, const char* writePath,
                  FILE* destination, FileTime time, int holdsFile, int partial, long long bytes) {
  int timesSet = stampOpenFile(destination, time);
  if (timesSet == timesKept && partial == partialOwnName && copiesBatched()) {
    // Small copies are written out by their batch's sync, by the system's own threads
    // while this one waits: starting each apart costs this thread more than it saves.
    if (bytes >= writebackFrom) startDataWrite(destination);
    if (queueCopy(destination, path, writePath, holdsFile, bytes) == 0)
      return reportStamp(path, 1, 0);
  }
  int failure = 0;
  int synced = noSync || syncFileData(destination) == 0;
  if (!synced) failure = lastFailureCode();
  if (synced && !noSync && syncFaultHere()) {
    synced = 0;
    failure = failureTestFault;
  }
  if (fclose(destination) != 0)
    return abandonCopy(folders, path, writePath, transferFailed,
                       synced ? lastFailureCode() : failure);
  if (!synced) return failUnwrittenCopy(folders, path, writePath, failure);
  return placeCopy(folders, path, writePath, time, timesSet, holdsFile);
}

FILE* openSource(const char* sourcePath) {
  FILE* source = openFileForReading(sourcePath);
  if (source) return source;
  int failure = lastFailureCode();
  if (freedOpenFiles(failure)) {
    source = openFileForReading(sourcePath);
    if (source) return source;
    failure = lastFailureCode();
  }
  // Most often a file removed or made unreadable since it was listed.
  reportFailure("read the source file", sourcePath, nullptr, failure);
  return nullptr;
}

// Opens the file the copy of path is written to (writePath, chosen for *partial),
// repairing its folders where that is needed. The last way tried, where a folder
// takes no new files, writes the destination itself, and *partial then says so.
FILE* openCopyDestination(DestinationFolders* folders, const char* path, const char* sourcePath,
                          char* writePath, unsigned mode, int* holdsFile, int* partial) {
  int failure = 0;
  FILE* destination = openDestination(folders, path, writePath, mode, holdsFile, &failure);
  if (!destination && freedOpenFiles(failure))
    destination = openDestination(folders, path, writePath, mode, holdsFile, &failure);
  if (!destination)
    destination =
        repairFolderAndOpen(folders, path, sourcePath, writePath, mode, holdsFile, &failure);
  if (!destination && *partial != partialNone) {
    // A folder that takes no new files may still let its files be rewritten.
    memcpy(writePath, path, strlen(path) + 1);
    *partial = partialNone;
    destination = openDestination(folders, path, writePath, mode, holdsFile, &failure);
  }
  if (!destination) {
    if (verbose) consolePrintf("Cannot create file in folder !\n");
    reportFailure("create the file", path, nullptr, failure);
  }
  return destination;
}

// The path the last copy was written to.
char lastWritePath[pathBufferSize];
}  // namespace

const char* lastCopyWritePath() {
  return lastWritePath;
}

int copyFileWithTime(DestinationFolders* folders, const char* destinationPath,
                     const char* sourcePath, FileTime time) {
  lastWritePath[0] = '\0';
  if (previewOnly) return copyPreview;
  time = stampFor(destinationPath, time);
  // Stopped before this file: its destination, maybe an older copy, stays as it is.
  if (interruptRequested()) return copyInterrupted;
  // The source is opened first, so that one that cannot be read never truncates
  // the destination.
  FILE* source = openSource(sourcePath);
  if (!source) return copySourceUnreadable;
  char* writePath = lastWritePath;
  int partial = choosePathToWrite(destinationPath, writePath);
  int holdsFile = 0;
  unsigned mode = copyModeOf(source);
  FILE* destination = openCopyDestination(folders, destinationPath, sourcePath, writePath, mode,
                                          &holdsFile, &partial);
  if (!destination) {
    fclose(source);
    return copyCannotCreate;
  }
  long long bytes = 0;
  int failure = 0;
  int transferred = transfer(source, destination, &bytes, &failure);
  fclose(source);
  if (transferred != transferComplete) {
    fclose(destination);
    return abandonCopy(folders, destinationPath, writePath, transferred, failure);
  }
  if (partial == partialNone) return finishInPlace(folders, destinationPath, destination, time);
  return finishPartial(folders, destinationPath, writePath, destination, time, holdsFile, partial,
                       bytes);
}
