// The one way a copy ends, whatever thread and batch it went through: its data on
// disk, its file closed, its time set where that had to wait, and the destination's
// name taken. A copy that fails on the way is removed; the file it was to replace
// stays as it was.
#include "base/backup_paths.h"
#include "base/failure_report.h"
#include "base/settings.h"
#include "copy/room.h"

const char* const discardOutcomes[3] = {
    "was removed", "could not be removed and was marked out of date", "could not be removed"};

namespace {
// Results of moveIntoPlace.
enum PlaceResult { placed, placeFailed, placeRefused };

// With --backup-dir, the file the copy replaces is moved into the backup folder just
// before the copy takes its name: at every moment it is at its place or there. One
// that cannot be moved keeps its place, and the copy fails.
int moveReplacedAway(CopyWorker* worker, const CopyShared* shared, CopyJob* job, int* failure) {
  const char* to = job->destinationPath;
  const RunSettings& settings = *shared->settings;
  if (backupPathFor(settings, to + settings.destinationRootLength, worker->backupPath)) {
    *failure = failurePathTooLong;
    return placeFailed;
  }
  if (moveToBackupIn(worker->folders, to, &worker->backupFolders, worker->backupPath) ==
      folderRefused) {
    *failure = lastFailureCode();
    return placeFailed;
  }
  job->notes.replacedMoved = 1;
  // The name is free now: where the system cannot promise that it stays free
  // (RENAME_NOREPLACE through FUSE), the move just made is the promise.
  if (moveFileIn(worker->folders, job->writePath, to, 0) == 0 ||
      moveFileIn(worker->folders, job->writePath, to, 1) == 0)
    return placed;
  *failure = lastFailureCode();
  return placeFailed;
}

// Moves the finished copy from its partial file to the destination's name: over the
// file that an update replaces, else into a free place or, where something stands
// there now, over it once it is found replaceable. failure tells why it did not.
int moveIntoPlace(CopyWorker* worker, const CopyShared* shared, CopyJob* job, int* failure) {
  TreeFolders* folders = worker->folders;
  const char* to = job->destinationPath;
  if (!job->holdsFile && moveFileIn(folders, job->writePath, to, 0) == 0) return placed;
  int found = job->holdsFile ? replaceableFile : makeWay(folders, job, failure);
  if (found >= replaceableRefused) return placeRefused;
  if (found == replaceableFile && worker->backupPath)
    return moveReplacedAway(worker, shared, job, failure);
  // Replacing: where the system cannot promise a free place (RENAME_NOREPLACE through
  // FUSE), the look just taken is the promise.
  if (moveFileIn(folders, job->writePath, to, 1) == 0) return placed;
  *failure = lastFailureCode();
  return placeFailed;
}

// Sets the times of a closed copy by its path and reads back what was kept; 1 when
// kept, else 0 with timeFailure telling why.
int stampByPath(TreeFolders* folders, const CopyShared* shared, CopyJob* job, int* timeFailure) {
  *timeFailure = 0;
  if (!shared->seams->timesIgnored && setFileTimesIn(folders, job->writePath, job->time) != 0) {
    *timeFailure = lastFailureCode();
    return 0;
  }
  FileTime kept;
  if (getFileTimeIn(folders, job->writePath, &kept) == 0 && !copyTimeKept(job->time, kept))
    return 0;
  if (fileIdentityIn(folders, job->writePath, &job->notes.identity) == 0)
    job->notes.identityKnown = 1;
  return 1;
}

// The test seam's failed sync falls on the copy submitted at its position.
int seamFailsSync(const CopyShared* shared, const CopyJob* job) {
  return shared->seams->syncFaultAt >= 0 && job->sequence == shared->seams->syncFaultAt;
}

void callPlacedSeam(CopyShared* shared) {
  long long placedSoFar = ++shared->placed;
  const CopySeams* seams = shared->seams;
  if (!seams->placed) return;
  if (shared->seamLock) takeLock(shared->seamLock);
  seams->placed(seams->context, placedSoFar);
  if (shared->seamLock) releaseLock(shared->seamLock);
}

// A copy's Windows attributes, once it has its name (read-only last, so that nothing
// before stops on it).
void giveAttributes(CopyWorker* worker, CopyJob* job) {
  int parts = job->metadataParts & metadataAttributes & ~worker->metadataNotHeld;
  if (parts == 0) return;
  MetadataOutcome& outcome = job->notes.metadata;
  FolderHandle folder = noFolder;
  const char* name = nullptr;
  MetadataOutcome applied = {0, 0, 0, 0};
  if (reachMetadataEntryIn(worker->folders, job->destinationPath, &folder, &name) == folderDone)
    applyMetadataIn(folder, name, entryFile, job->metadata, nullptr, parts, &applied);
  else
    applied = MetadataOutcome{0, 0, parts, lastFailureCode()};
  worker->metadataNotHeld |= applied.notHeld;
  outcome.notHeld |= applied.notHeld;
  outcome.notAllowed |= applied.notAllowed;
  if (!applied.failedPart || outcome.failedPart) return;
  outcome.failedPart = applied.failedPart;
  outcome.failure = applied.failure;
  if (job->notes.result == copyDone) job->notes.result = copyMetadataNotSet;
}

// A written copy that fails on its way to its place is removed.
void failCopy(CopyWorker* worker, CopyJob* job, int result, int step, int failure) {
  failJob(job, result, step, failure);
  job->notes.identityKnown = 0;
  job->notes.discarded = discardCopy(worker->folders, job->writePath);
}
}  // namespace

int makeWay(TreeFolders* folders, CopyJob* job, int* failure) {
  int found = checkReplaceableIn(folders, job->destinationPath);
  if (found < replaceableRefused) return found;
  *failure = lastFailureCode();
  // A mirror that keeps permission bits made its read-only files so itself: the
  // copy takes such a file's name (a rename, which the file's bits do not bind).
  if (found == replaceableRefused && (job->metadataParts & metadataMode) &&
      isAccessDenied(*failure))
    return replaceableFile;
  if (found != replaceableRefused ||
      removeEmptyFolderIn(folders, job->destinationPath) != folderDone)
    return replaceableRefused;
  noteCopyEvent(job, eventEmptyFolderGone);
  return replaceableFree;
}

int discardCopy(TreeFolders* folders, const char* writePath) {
  // An incomplete copy must not stay with a fresh time, which would make every later
  // run take it for current. Not 0: Windows reads a zero time as "leave unchanged".
  constexpr FileTime outOfDateTime = {1, 0};
  if (deleteFileIn(folders, writePath) == folderDone) return 0;
  return setFileTimesIn(folders, writePath, outOfDateTime) == 0 ? 1 : 2;
}

void finishCopy(CopyWorker* worker, CopyShared* shared, CopyJob* job, int syncFailure) {
  int failure = syncFailure;
  int noSync = shared->settings->noSync;
  if (failure == -1) failure = noSync || syncFileData(job->file) == 0 ? 0 : lastFailureCode();
  if (failure == 0 && !noSync && seamFailsSync(shared, job)) failure = failureTestFault;
  // Some systems tell of a write they could not make only when the file is closed.
  if (closeFile(job->file) != 0 && failure == 0) failure = lastFailureCode();
  job->file = noFile;
  if (failure != 0) return failCopy(worker, job, copyTransferFailed, stepUnwritten, failure);
  int timeFailure = 0;
  if (job->timesByPath && !stampByPath(worker->folders, shared, job, &timeFailure)) {
    job->notes.result = copyTimeNotSet;
    job->notes.timeFailure = timeFailure;
  }
  int placeFailure = 0;
  int placing = moveIntoPlace(worker, shared, job, &placeFailure);
  // What stands at the name may not be replaced: told as a copy that could not be
  // created there, after the repair of its folder, as if it had been met first.
  if (placing == placeRefused) {
    noteCopyEvent(job, eventFolderRepaired);
    return failCopy(worker, job, copyCannotCreate, stepCreate, placeFailure);
  }
  if (placing != placed) return failCopy(worker, job, copyCannotCreate, stepPlace, placeFailure);
  giveAttributes(worker, job);
  callPlacedSeam(shared);
}
