// Writing one destination file: the source's bytes inside the kernel where it can,
// through copyBuffer where not, then its time.
#include "reconcile/copy_file.h"

#include <algorithm>
#include <climits>
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
// Only a writer that may free files (mayFreeFiles) frees them here.
FILE* repairFolderAndOpen(DestinationFolders* folders, const char* path, const char* sourcePath,
                          const char* writePath, unsigned mode, int* holdsFile, int* failure,
                          int mayFreeFiles) {
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
  if (!file && mayFreeFiles && freedOpenFiles(*failure)) {
    makeFoldersIn(folders, folder, twin);
    file = openDestination(folders, path, writePath, mode, holdsFile, failure);
  }
  return file;
}

// Writes the first count bytes of buffer; returns the number written.
size_t writeBlock(FILE* destination, const unsigned char* buffer, size_t count, long long written) {
  size_t allowed = count;
  if (copyWriteFaultAfter >= 0 && written + static_cast<long long>(count) > copyWriteFaultAfter)
    allowed =
        copyWriteFaultAfter > written ? static_cast<size_t>(copyWriteFaultAfter - written) : 0;
  if (allowed == 0) return 0;
  return fwrite(buffer, 1, allowed, destination);
}

// Once a copy has written this much of one stretch of data, the room for the rest
// of that stretch is reserved at once: that spares the file system its work per
// block on large files, and files below it the two extra calls. Holes get none.
constexpr long long reserveFrom = 32LL * copyBufferSize;
// A large copy's data starts on its way to the disk at every such step, so that the
// disk writes while the copy goes on.
constexpr long long writebackStep = 256LL * copyBufferSize;
constexpr long long writebackFrom = reserveFrom;
// Bytes the kernel moves per call: an interruption stops a copy within one such
// step, and the first step of a large copy is where its room is reserved.
constexpr long long kernelStep = reserveFrom;
// The end of the stretch a copy reads where holes are not told apart: the source's
// end, found by reading.
constexpr long long toSourceEnd = LLONG_MAX;

struct Transfer {
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
  unsigned char* buffer;  ///< copyBufferSize bytes of the thread that copies
};

void advance(Transfer* copy, long long bytes) {
  copy->written += bytes;
  copy->at += bytes;
  if (bytes > 0) copy->dataEnd = copy->at;
}

void afterStep(Transfer* copy, FILE* source, FILE* destination) {
  if (!copy->reserveTried && copy->at - copy->stretchStart >= reserveFrom) {
    copy->reserveTried = 1;
    long long end = reserveRoomForRest(destination, source, copy->at, copy->stretchEnd);
    copy->reserved = std::max(copy->reserved, end);
  }
  if (!noSync && copy->written >= copy->writebackAt) {
    startDataWrite(destination);
    copy->writebackAt = copy->written + writebackStep;
  }
  noteCopyBytes(copy->at);
  if (copyBlockHook) callCopySeam(copyBlockHook, copy->at);
}

// Blocks of copyBufferSize until the first short read, whose bytes (maybe none) are
// written too: n / copyBufferSize + 1 reads for n bytes. A stretch that ends at a
// hole ends with its last byte instead.
int transferInBlocks(FILE* source, FILE* destination, Transfer* copy) {
  size_t wanted, got;
  do {
    wanted = static_cast<size_t>(std::min<long long>(copyBufferSize, copy->stretchEnd - copy->at));
    if (wanted == 0) return transferComplete;
    if (interruptRequested()) return transferStopped;
    got = fread(copy->buffer, 1, wanted, source);
    if (ferror(source)) {
      copy->failure = lastFailureCode();
      return transferFailed;
    }
    if (writeBlock(destination, copy->buffer, got, copy->written) != got) {
      copy->failure = copyWriteFaultAfter >= 0 ? failureTestFault : lastFailureCode();
      return transferFailed;
    }
    advance(copy, static_cast<long long>(got));
    afterStep(copy, source, destination);
  } while (got == wanted);
  return transferComplete;
}

// Steps inside the kernel until the stretch's or the source's end. Returns
// transferRestInBlocks where the block loop is to copy the rest: the kernel cannot
// copy these files, or its first step moved nothing (an empty file, or one whose
// size the system does not tell, which only reading shows), or a test seam's limit
// is reached.
int transferInKernel(FILE* source, FILE* destination, Transfer* copy) {
  for (;;) {
    if (copy->at >= copy->stretchEnd) return transferComplete;
    if (interruptRequested()) return transferStopped;
    long long step = std::min(kernelStep, copy->stretchEnd - copy->at);
    if (copyKernelFallbackAt >= 0) step = std::min(step, copyKernelFallbackAt - copy->written);
    if (copyWriteFaultAfter >= 0) step = std::min(step, copyWriteFaultAfter - copy->written);
    if (step <= 0) return transferRestInBlocks;
    long long moved = copyInKernel(source, destination, step);
    if (moved == kernelCopyUnavailable || (moved == 0 && copy->written == 0))
      return transferRestInBlocks;
    if (moved == 0) return transferComplete;
    advance(copy, moved);
    afterStep(copy, source, destination);
  }
}

// Copies from where both files stand up to the end of the stretch, or to the
// source's end where that comes first.
int transferStretch(FILE* source, FILE* destination, Transfer* copy, long long end) {
  copy->stretchStart = copy->at;
  copy->stretchEnd = end;
  copy->reserveTried = 0;
  if (!copy->inBlocks) {
    int result = transferInKernel(source, destination, copy);
    if (result != transferRestInBlocks) return result;
    copy->inBlocks = 1;
  }
  return transferInBlocks(source, destination, copy);
}

// Copies the source's data stretch by stretch and passes over its holes, which stay
// holes in the copy; the copy's length is the source's size as last found, holes at
// its end included, or where reading ended. Where the system does not tell holes,
// every byte is read, up to the end that reading finds.
int transferData(FILE* source, FILE* destination, Transfer* copy) {
  int stalled = 0;
  for (;;) {
    if (interruptRequested()) return transferStopped;
    long long start = 0, end = 0;
    int found = findSourceData(source, copy->at, &start, &end);
    if (found == sourceDataEnded) {
      copy->length = std::max(copy->dataEnd, start);
      return transferComplete;
    }
    // Data said to lie where reading has just found the end: reading has the last word.
    if (found == sourceHolesUnknown || (stalled && start == copy->at)) {
      int result = transferStretch(source, destination, copy, toSourceEnd);
      copy->length = copy->dataEnd;
      return result;
    }
    if (start > copy->at) {
      if (skipHoleInCopy(destination, start) != 0) {
        copy->failure = lastFailureCode();
        return transferFailed;
      }
      copy->at = start;
    }
    int result = transferStretch(source, destination, copy, end);
    if (result != transferComplete) return result;
    // Short of its end: the source shrank while it was copied.
    stalled = copy->at == start;
  }
}

int transfer(FILE* source, FILE* destination, unsigned char* buffer, long long* bytes,
             int* failure) {
  Transfer copy = {};
  copy.writebackAt = writebackStep;
  copy.buffer = buffer;
  int result = transferData(source, destination, &copy);
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

// A partial copy that is not batched: synced, stamped unless its times were set
// while it was open, and put in place at once.
int syncAndPlace(DestinationFolders* folders, const char* path, const char* writePath,
                 FILE* destination, FileTime time, int timesSet, int holdsFile) {
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
  // The files held open by the copies decided before this one are given back first.
  if (isTooManyOpenFiles(failure) && settleEarlierCopies) settleEarlierCopies();
  if (freedOpenFiles(failure)) {
    source = openFileForReading(sourcePath);
    if (source) return source;
    failure = lastFailureCode();
  }
  // Most often a file removed or made unreadable since it was listed.
  reportFailure("read the source file", sourcePath, nullptr, failure);
  return nullptr;
}

// A folder that the copy's destination lacks is made before the copy is handed on,
// once, by the thread that decides the copies and in their order, so that no two
// copies into it make it (and tell so) at once.
void makeMissingFolder(DestinationFolders* folders, const char* path, const char* sourcePath) {
  char folder[pathBufferSize];
  if (destinationFolder(path, folder) != 0 || findFolderIn(folders, folder) != folderMissing)
    return;
  char sourceFolder[pathBufferSize];
  if (verbose) consolePrintf("Creating folder [%s]\n", folder);
  int twinFound = destinationFolder(sourcePath, sourceFolder) == 0;
  makeFoldersIn(folders, folder, twinFound ? sourceFolder : nullptr);
}

// Opens the file the copy of the job is written to (its writePath), repairing its
// folders where that is needed. The last way tried, where a folder takes no new
// files, writes the destination itself, and the job's partial then says so. A writer
// that may not free files sets outOfFiles where the process holds all it may.
FILE* openCopyDestination(CopyWriter* writer, CopyJob* job, int* outOfFiles) {
  DestinationFolders* folders = writer->folders;
  const char* path = job->destinationPath.c_str();
  int failure = 0;
  FILE* destination =
      openDestination(folders, path, job->writePath.c_str(), job->mode, &job->holdsFile, &failure);
  if (!destination && isTooManyOpenFiles(failure)) {
    if (!writer->mayFreeFiles) {
      *outOfFiles = 1;
      return nullptr;
    }
    if (freedOpenFiles(failure))
      destination = openDestination(folders, path, job->writePath.c_str(), job->mode,
                                    &job->holdsFile, &failure);
  }
  if (!destination)
    destination =
        repairFolderAndOpen(folders, path, job->sourcePath.c_str(), job->writePath.c_str(),
                            job->mode, &job->holdsFile, &failure, writer->mayFreeFiles);
  // The folder made may have taken the last file: the deciding thread writes it.
  if (!destination && !writer->mayFreeFiles && isTooManyOpenFiles(failure)) {
    *outOfFiles = 1;
    return nullptr;
  }
  if (!destination && job->partial != partialNone) {
    // A folder that takes no new files may still let its files be rewritten.
    job->writePath = job->destinationPath;
    job->partial = partialNone;
    destination = openDestination(folders, path, path, job->mode, &job->holdsFile, &failure);
  }
  if (!destination) {
    if (verbose) consolePrintf("Cannot create file in folder !\n");
    reportFailure("create the file", path, nullptr, failure);
  }
  return destination;
}

void endJob(CopyJob* job, int result) {
  job->stage = copyFinished;
  job->result = result;
}

// The path the last call of copyFileWithTime wrote to.
char lastWritePath[pathBufferSize];
}  // namespace

void (*settleEarlierCopies)() = nullptr;
PlatformLock* copySeamLock = nullptr;

void callCopySeam(void (*hook)(long long), long long value) {
  if (copySeamLock) takeLock(copySeamLock);
  hook(value);
  if (copySeamLock) releaseLock(copySeamLock);
}

int prepareCopy(DestinationFolders* folders, CopyJob* job) {
  job->stage = copyFinished;
  job->source = nullptr;
  job->destination = nullptr;
  job->writePath.clear();
  job->holdsFile = 0;
  job->bytes = 0;
  if (previewOnly) return endJob(job, copyPreview), 0;
  const char* path = job->destinationPath.c_str();
  job->time = stampFor(path, job->time);
  // Stopped before this file: its destination, maybe an older copy, stays as it is.
  if (interruptRequested()) return endJob(job, copyInterrupted), 0;
  // The source is opened first, so that one that cannot be read never truncates
  // the destination.
  job->source = openSource(job->sourcePath.c_str());
  if (!job->source) return endJob(job, copySourceUnreadable), 0;
  char writePath[pathBufferSize];
  job->partial = choosePathToWrite(path, writePath);
  job->writePath = writePath;
  job->mode = copyModeOf(job->source);
  makeMissingFolder(folders, path, job->sourcePath.c_str());
  job->stage = copyToWrite;
  return 1;
}

void writeCopy(CopyWriter* writer, CopyJob* job) {
  DestinationFolders* folders = writer->folders;
  const char* path = job->destinationPath.c_str();
  // Stopped while the copy waited for a worker: nothing of it is begun.
  if (interruptRequested()) {
    fclose(job->source);
    job->source = nullptr;
    return endJob(job, copyInterrupted);
  }
  int outOfFiles = 0;
  FILE* destination = openCopyDestination(writer, job, &outOfFiles);
  if (outOfFiles) {
    job->stage = copyOutOfFiles;
    return;
  }
  if (!destination) {
    fclose(job->source);
    job->source = nullptr;
    return endJob(job, copyCannotCreate);
  }
  const char* writePath = job->writePath.c_str();
  long long bytes = 0;
  int failure = 0;
  int transferred = transfer(job->source, destination, writer->buffer, &bytes, &failure);
  fclose(job->source);
  job->source = nullptr;
  if (transferred != transferComplete) {
    fclose(destination);
    return endJob(job, abandonCopy(folders, path, writePath, transferred, failure));
  }
  if (job->partial == partialNone)
    return endJob(job, finishInPlace(folders, path, destination, job->time));
  int timesSet = stampOpenFile(destination, job->time);
  if (timesSet == timesKept && job->partial == partialOwnName && copiesBatched()) {
    // Small copies are written out by their batch's sync, by the system's own threads
    // while this one waits: starting each apart costs this thread more than it saves.
    if (bytes >= writebackFrom) startDataWrite(destination);
    job->destination = destination;
    job->bytes = bytes;
    job->stage = copyToQueue;
    return;
  }
  endJob(job,
         syncAndPlace(folders, path, writePath, destination, job->time, timesSet, job->holdsFile));
}

void finishCopy(CopyWriter* writer, CopyJob* job) {
  if (job->stage == copyOutOfFiles) writeCopy(writer, job);
  if (job->stage != copyToQueue) return;
  const char* path = job->destinationPath.c_str();
  const char* writePath = job->writePath.c_str();
  FILE* destination = job->destination;
  job->destination = nullptr;
  if (queueCopy(destination, path, writePath, job->holdsFile, job->bytes) == 0)
    return endJob(job, reportStamp(path, 1, 0));
  endJob(job, syncAndPlace(writer->folders, path, writePath, destination, job->time, timesKept,
                           job->holdsFile));
}

const char* lastCopyWritePath() {
  return lastWritePath;
}

int copyFileWithTime(DestinationFolders* folders, const char* destinationPath,
                     const char* sourcePath, FileTime time) {
  CopyJob job;
  job.destinationPath = destinationPath;
  job.sourcePath = sourcePath;
  job.time = time;
  if (prepareCopy(folders, &job)) {
    CopyWriter writer = {folders, copyBuffer, 1};
    writeCopy(&writer, &job);
    finishCopy(&writer, &job);
  }
  size_t length = std::min(job.writePath.size(), static_cast<size_t>(pathBufferSize) - 1);
  memcpy(lastWritePath, job.writePath.data(), length);
  lastWritePath[length] = '\0';
  return job.result;
}
