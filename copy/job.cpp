// Writing one copy, on whichever thread takes it: the source opened once, its folder
// made, a file of its own made beside the destination, the bytes moved, the time set.
// Nothing here prints: what happened goes into the job's notes, which the reporter
// turns into lines in the copies' order.
#include <cstring>

#include "base/failure_report.h"
#include "base/paths.h"
#include "base/progress.h"
#include "base/settings.h"
#include "copy/room.h"
#include "copy/transfer.h"

namespace {
// Notes what became of the copy's folder chain, made where missing was set (made:
// makeFoldersIn's result), else made again as a repair.
void noteFolderMade(CopyJob* job, int missing, int made) {
  if (!missing) return noteCopyEvent(job, eventFolderRepaired);
  if (made == folderDone) return noteCopyEvent(job, eventFolderMade);
  job->notes.folderFailure = lastFailureCode();
  noteCopyEvent(job, eventFolderNotMade);
}

// Within the coarsest step of any clock the time counts as kept: coarse clocks keep
// only what they can hold. FAT's 2 s.
constexpr int64_t coarsestStep = 20000000LL;
// CopyWorker::noKernel while the copy that the kernel refused is not yet stamped.
constexpr int kernelRefusedNow = 2;

// Opens the source, looked at once, or takes it from the window that opened it
// ahead; false (the job ended) when it cannot be read or is no regular file any
// more. A source opened before the destination's file is made never costs the
// destination anything when it cannot be read.
bool openSource(CopyWorker* worker, CopyShared* shared, CopyJob* job, SourceFile* source) {
  if (worker->sourceReady) {
    *source = worker->readySource;
    worker->sourceReady = 0;
    return true;
  }
  int failure = 0;
  int opened = openSourceFileIn(worker->sources, job->sourcePath, source, &failure);
  if (opened == sourceUnreadable && freeWorkerFiles(worker, shared, failure))
    opened = openSourceFileIn(worker->sources, job->sourcePath, source, &failure);
  if (opened == sourceOpened) return true;
  // Gone since the listing, itself or a folder on its way: no failure, the source
  // only changed. A folder swapped for a link or a file is refused otherwise.
  if (opened == sourceUnreadable && isNoSuchEntry(failure))
    failJob(job, copySourceVanished, stepRead, failure);
  else
    failJob(job, copySourceUnreadable, stepRead,
            opened == sourceNotRegular ? failureNotRegular : failure);
  return false;
}

// Makes all of the copy's folder chain once more, as a repair; new folders take the
// bits of their twins in the source.
void repairFolder(CopyWorker* worker, CopyJob* job) {
  if (folderOfPath(job->destinationPath, worker->folder) != 0) return;
  int missing = findFolderIn(worker->folders, worker->folder) == folderMissing;
  int twin = folderOfPath(job->sourcePath, worker->sourceFolder) == 0;
  noteFolderMade(
      job, missing,
      makeFoldersIn(worker->folders, worker->folder, twin ? worker->sourceFolder : nullptr));
}

// One try at the copy's own file. What an update replaces is readied first (makeWay),
// so that anything that may not be replaced fails the copy before a byte is written.
// Where the listing found nothing, nothing is looked at now: what may stand there by
// the time the copy takes its name is met then (finishCopy).
FileHandle tryCreate(CopyWorker* worker, CopyShared* shared, CopyJob* job, unsigned mode,
                     int* failure) {
  int found = job->replacesFile ? makeWay(worker->folders, job, failure) : replaceableFree;
  if (found >= replaceableRefused) return noFile;
  job->holdsFile = found == replaceableFile;
  FileHandle file = createPartialFile(worker->folders, &shared->guard, job->destinationPath, mode,
                                      job->writePath, job->writeCapacity, failure);
  if (file != noFile) currentFolderVolume(worker->folders, &job->volume);
  return file;
}

// True once a copy on volume was seen to keep the time it was given: a file system
// keeps the times of all its files or of none, so one look serves the worker's run.
bool timesSeenKept(CopyWorker* worker, uint64_t volume) {
  for (int i = 0; i < worker->keptVolumeCount; ++i)
    if (worker->keptVolumes[i] == volume) return true;
  return false;
}

void noteTimesKept(CopyWorker* worker, uint64_t volume) {
  constexpr int slots =
      static_cast<int>(sizeof worker->keptVolumes / sizeof worker->keptVolumes[0]);
  if (worker->keptVolumeCount < slots) worker->keptVolumes[worker->keptVolumeCount++] = volume;
}

// The copy's own file, its folder repaired where the first try fails: any failure is
// taken as a missing folder, the chain made and the create tried once more. Where
// the process holds all the files it may, the worker gives back those its batch
// holds and tries again.
FileHandle createCopyFile(CopyWorker* worker, CopyShared* shared, CopyJob* job, unsigned mode,
                          int* failure) {
  for (int repair = 0; repair < 2; ++repair) {
    if (repair) repairFolder(worker, job);
    FileHandle file = tryCreate(worker, shared, job, mode, failure);
    if (file == noFile && freeWorkerFiles(worker, shared, *failure))
      file = tryCreate(worker, shared, job, mode, failure);
    if (file != noFile) return file;
  }
  return noFile;
}

// Sets the copy's time while it is open. What was kept is read back (with the copy's
// identity) where the deciding thread wants the identity, or where no copy on its
// file system was seen to keep its time yet. Where either must wait for the close,
// timesByPath says so.
void stampOpenCopy(CopyWorker* worker, CopyShared* shared, CopyJob* job) {
  FileTime kept;
  job->timesByPath = 1;
  if (!shared->seams->timesIgnored && setOpenFileTimes(job->file, job->time) != 0) return;
  bool look =
      job->wantsIdentity || shared->seams->timesIgnored || !timesSeenKept(worker, job->volume);
  job->timesByPath = 0;
  if (!look) return;
  if (getOpenFileFacts(job->file, &kept, &job->notes.identity) != 0) {
    job->timesByPath = 1;
    return;
  }
  job->notes.identityKnown = 1;
  job->volume = job->notes.identity.volume;
  // A file system that takes the time and keeps another (the time of writing) is no
  // success; the copy still takes its place, whole.
  if (!copyTimeKept(job->time, kept)) {
    job->notes.result = copyTimeNotSet;
    job->notes.timeFailure = 0;
  } else {
    noteTimesKept(worker, job->volume);
  }
}

// Moves the source's bytes into the copy; false (the copy discarded, the job ended)
// when that fails or is interrupted.
bool transferBytes(CopyWorker* worker, CopyShared* shared, CopyJob* job, const SourceFile& source) {
  TransferContext context = {worker->buffer,
                             shared->seams,
                             shared->seamLock,
                             worker->writer,
                             shared->settings->noSync,
                             1,
                             0};
  context.tryKernel = !(worker->noKernel && worker->noKernelFrom == source.volume &&
                        worker->noKernelInto == worker->lastVolume);
  int failure = 0;
  int result = transferFile(&context, source, job->file, &job->bytes, &failure);
  // Where the copy lands is known once it is stamped: the memory is completed there.
  if (context.kernelRefused) {
    worker->noKernel = kernelRefusedNow;
    worker->noKernelFrom = source.volume;
  }
  if (result == transferComplete) return true;
  closeFile(job->file);
  job->file = noFile;
  job->notes.discarded = discardCopy(worker->folders, job->writePath);
  failJob(job, result == transferStopped ? copyInterrupted : copyTransferFailed, stepTransfer,
          failure);
  return false;
}

// Gives the copy, open and before it takes its name, the kinds of the source's
// metadata the run keeps: owner and group, then the mode, then the extended
// attributes and access lists read from the open source. A kind the destination
// cannot hold is left out of the worker's later copies; one the process may not set
// is noted; any other failure is the copy's own, once it is in place.
void giveMetadata(CopyWorker* worker, CopyJob* job, const SourceFile& source) {
  MetadataOutcome& outcome = job->notes.metadata;
  outcome = MetadataOutcome{job->metadataParts & worker->metadataNotHeld, 0, 0, 0};
  int parts = job->metadataParts & ~worker->metadataNotHeld;
  if (job->metadataParts == 0) return;
  int extraParts = parts & (metadataXattrs | metadataAcls);
  const ExtraMetadata* extra = nullptr;
  if (extraParts) {
    int failure = readExtraMetadataOf(source.handle, extraParts, &worker->extra);
    if (failure == 0) {
      extra = &worker->extra;
    } else {
      outcome.failedPart = extraParts;
      outcome.failure = failure;
      parts &= ~extraParts;
    }
  }
  MetadataOutcome applied = {0, 0, 0, 0};
  if (parts) applyMetadataTo(job->file, job->metadata, extra, parts, &applied);
  worker->metadataNotHeld |= applied.notHeld;
  outcome.notHeld |= applied.notHeld;
  // Extended attributes or access lists the source has none of are no loss. What was
  // read for the copy tells it; the kinds left out before the copy are read once.
  int leftOut = outcome.notHeld & (metadataXattrs | metadataAcls);
  int has = extra ? extraMetadataKinds(*extra) : 0;
  int unread = leftOut & ~(extra ? extraParts : 0);
  if (unread && readExtraMetadataOf(source.handle, unread, &worker->extra) == 0)
    has |= extraMetadataKinds(worker->extra);
  outcome.notHeld &= ~leftOut | has;
  outcome.notAllowed |= applied.notAllowed;
  if (applied.failedPart && !outcome.failedPart) {
    outcome.failedPart = applied.failedPart;
    outcome.failure = applied.failure;
  }
  if (outcome.failedPart && job->notes.result == copyDone) job->notes.result = copyMetadataNotSet;
}
}  // namespace

int copyTimeKept(FileTime given, FileTime kept) {
  int64_t gap = fileTimeValue(kept) - fileTimeValue(given);
  return gap < coarsestStep && gap > -coarsestStep;
}

namespace {
int writeAndPlace(CopyWorker* worker, CopyShared* shared, CopyJob* job) {
  job->file = noFile;
  job->holdsFile = 0;
  job->timesByPath = 0;
  job->bytes = 0;
  job->volume = 0;
  // Stopped before this copy began: its destination, maybe an older copy, stays.
  if (interruptRequested()) return failJob(job, copyInterrupted, stepNone, 0), 0;
  SourceFile source;
  if (!openSource(worker, shared, job, &source)) return 0;
  int failure = 0;
  job->file = createCopyFile(worker, shared, job, source.copyMode, &failure);
  if (job->file == noFile) {
    closeFile(source.handle);
    return failJob(job, copyCannotCreate, stepCreate, failure), 0;
  }
  bool transferred = transferBytes(worker, shared, job, source);
  if (transferred && job->metadataParts) giveMetadata(worker, job, source);
  closeFile(source.handle);
  if (!transferred) return 0;
  stampOpenCopy(worker, shared, job);
  worker->lastVolume = job->volume;
  if (worker->noKernel == kernelRefusedNow) {
    worker->noKernel = 1;
    worker->noKernelInto = job->volume;
  }
  if (shared->batching) {
    holdForSync(worker, shared, job);
    return 1;
  }
  finishCopy(worker, shared, job, -1);
  return 0;
}
}  // namespace

void makeMissingFolder(TreeFolders* folders, TreeFolders* sourceFolders, char* folder,
                       char* sourceFolder, CopyJob* job) {
  if (folderOfPath(job->destinationPath, folder) != 0 ||
      findFolderIn(folders, folder) != folderMissing)
    return;
  // A source that cannot be read makes no folder: its copy fails before any.
  SourceFile source;
  int failure = 0;
  if (openSourceFileIn(sourceFolders, job->sourcePath, &source, &failure) != sourceOpened) return;
  closeFile(source.handle);
  int twin = folderOfPath(job->sourcePath, sourceFolder) == 0;
  noteFolderMade(job, 1, makeFoldersIn(folders, folder, twin ? sourceFolder : nullptr));
}

int writeCopy(CopyWorker* worker, CopyShared* shared, CopyJob* job) {
  int held = writeAndPlace(worker, shared, job);
  // Counted as done once written, whether it waits for its sync or failed.
  noteCopyOffset(worker->writer, 0);
  noteCopyDone(job->listedSize);
  return held;
}
