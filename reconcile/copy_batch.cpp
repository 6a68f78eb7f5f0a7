// The batch of finished copies: synced together, then put in place in their order.
#include "reconcile/copy_batch.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "reconcile/copy_file.h"
#include "run/failure_report.h"
#include "run/settings.h"

void (*copyPlacedHook)(long long placedSoFar) = nullptr;
int copySyncFaultAt = -1;
int copyBatchFilesAtMost = 0;
const char* const discardOutcomes[3] = {
    "was removed", "could not be removed and was marked out of date", "could not be removed"};

namespace {
// Copies held open in batches at most, the batch under its sync included, and the
// bytes that end a batch. Every sync of the file system waits for the disk to
// confirm its writes, some milliseconds even for little data and far more on some
// disks, so small files are synced some thousands at a time; the copies stay open
// until then, within the process's limit of open files, and a crash loses little
// finished work.
constexpr int batchFiles = 16384;
constexpr long long batchBytes = 128LL << 20;
// A batch ends at this many copies where the copying thread syncs it itself and
// waits: larger batches made a run on one processor slower, not faster. With a
// thread for the syncs, two batches share batchFiles.
constexpr int batchFilesAlone = 4096;
// Where batches are synced on a thread of their own, a batch is handed over as soon
// as the one before is synced, once it holds this many copies or bytes: the syncs
// follow one another while the copies go on, each taking what was written during
// the one before, however long the disk takes to confirm. A disk that confirms at
// once gets no more than one sync per so many copies.
constexpr int handOverFiles = 256;
constexpr long long handOverBytes = 16LL << 20;
// Open files left for everything else: the listing's folders, the read-ahead, the
// log, the file systems kept for the final sync.
constexpr int filesForOthers = 128;
constexpr int fewestBatchFiles = 16;

struct QueuedCopy {
  FILE* file;
  char* paths;  ///< the destination path, its terminator, then the partial file's path
  int holdsFile;
};

struct CopyBatch {
  QueuedCopy copies[batchFiles];
  int count;
  long long bytes;
  int batching;
  int failures;
  int limit;                    ///< copies a batch may hold, within the limit of open files
  int mostFiles;                ///< copies the limit of open files leaves, up to batchFiles
  DestinationFolders* folders;  ///< where the copies take their places
};
CopyBatch batch;
std::atomic<long long> copiesPlaced{0};
std::atomic<int> copiesSynced{0};

// Closes and places a queued copy, whose data reached the disk unless failed is set;
// 0 when placed.
int placeQueued(QueuedCopy& copy, int failed) {
  const char* path = copy.paths;
  const char* writePath = path + strlen(path) + 1;
  int failure = failed ? failureNotOnDisk : 0;
  if (fclose(copy.file) != 0 && !failed) {
    failed = 1;
    failure = lastFailureCode();
  }
  int result = 0;
  if (failed) {
    failUnwrittenCopy(batch.folders, path, writePath, failure);
    result = 1;
  } else if (moveIntoPlace(batch.folders, path, writePath, copy.holdsFile, &failure) != placed) {
    int outcome = discardIncompleteCopy(batch.folders, writePath);
    reportFailure("put the copy in place", path, nullptr, failure);
    if (verbose)
      consolePrintf("Failed to copy [%s], the copy could not take its place and %s !\n", path,
                    discardOutcomes[outcome]);
    result = 1;
  }
  free(copy.paths);
  return result;
}

// Makes the data of the whole batch durable at once, then places its copies.
void placeBatch() {
  if (batch.count == 0) return;
  // Only the deciding thread places batches; the arrays are too large for a stack.
  static FILE* files[batchFiles];
  static unsigned char failed[batchFiles];
  for (int i = 0; i < batch.count; ++i) {
    files[i] = batch.copies[i].file;
    failed[i] = 0;
  }
  if (!noSync) syncFilesData(files, batch.count, failed);
  for (int i = 0; i < batch.count; ++i)
    batch.failures += placeQueued(batch.copies[i], syncFaultHere() || failed[i]);
  batch.count = 0;
  batch.bytes = 0;
}

// A full batch handed to the sync thread, so that the next one is written while the
// disk takes this one. Its copies are placed by the deciding thread, in their order,
// once the output it holds back reaches the point where the batch was handed over.
struct SyncingBatch {
  QueuedCopy copies[batchFiles];
  FILE* files[batchFiles];
  unsigned char failed[batchFiles];
  int count;
  int handed;  ///< under the lock: handed over, its sync not yet over
  int active;  ///< deciding thread: handed over and not yet placed
  int stopping;
  PlatformLock* lock;
  PlatformThread* thread;
};
SyncingBatch syncing;

unsigned runSyncThread(void*) {
  takeLock(syncing.lock);
  for (;;) {
    while (!syncing.handed && !syncing.stopping) waitOnLock(syncing.lock);
    if (!syncing.handed) break;
    releaseLock(syncing.lock);
    syncFilesData(syncing.files, syncing.count, syncing.failed);
    takeLock(syncing.lock);
    syncing.handed = 0;
    wakeLockWaiters(syncing.lock);
  }
  releaseLock(syncing.lock);
  return 0;
}

void waitForSync() {
  takeLock(syncing.lock);
  while (syncing.handed) waitOnLock(syncing.lock);
  releaseLock(syncing.lock);
}

// Places the batch under sync where one is out, first printing what comes before it.
void placeSyncingBatch() {
  if (!syncing.active) return;
  waitForSync();
  if (printHeldOutput) printHeldOutput();
  // The held output's mark of this batch placed it; without one, it is placed here.
  if (syncing.active) placeSyncedBatch();
}

// Hands the full batch to the sync thread; the output from here on waits for it.
void handOverBatch() {
  placeSyncingBatch();
  for (int i = 0; i < batch.count; ++i) {
    syncing.copies[i] = batch.copies[i];
    syncing.files[i] = batch.copies[i].file;
    syncing.failed[i] = 0;
  }
  syncing.count = batch.count;
  syncing.active = 1;
  batch.count = 0;
  batch.bytes = 0;
  takeLock(syncing.lock);
  syncing.handed = 1;
  wakeLockWaiters(syncing.lock);
  releaseLock(syncing.lock);
  const OutputDiversion* diversion = threadOutputDiversion();
  if (diversion) diversion->take(diversion->sink, outputBatchMark, "", 0);
}
}  // namespace

void (*printHeldOutput)() = nullptr;

int syncedBatchWaiting() {
  if (!syncing.active) return 0;
  takeLock(syncing.lock);
  int waiting = syncing.handed;
  releaseLock(syncing.lock);
  return waiting ? 2 : 1;
}

void placeSyncedBatch() {
  if (!syncing.active) return;
  waitForSync();
  for (int i = 0; i < syncing.count; ++i)
    batch.failures += placeQueued(syncing.copies[i], syncFaultHere() || syncing.failed[i]);
  syncing.count = 0;
  syncing.active = 0;
}

int syncBatchesAside() {
  if (noSync || syncing.thread) return syncing.thread != nullptr;
  syncing.lock = createLock();
  if (!syncing.lock) return 0;
  syncing.handed = syncing.active = syncing.stopping = 0;
  syncing.thread = startThread(runSyncThread, nullptr);
  if (syncing.thread) {
    // Two batches are open at once now; a test's size of batches stays as it asked.
    if (copyBatchFilesAtMost <= 0)
      batch.limit = batch.mostFiles / 2 < fewestBatchFiles ? fewestBatchFiles : batch.mostFiles / 2;
    return 1;
  }
  destroyLock(syncing.lock);
  syncing.lock = nullptr;
  return 0;
}

int syncFaultHere() {
  return copySyncFaultAt >= 0 && copiesSynced++ == copySyncFaultAt;
}

void beginCopyBatches(DestinationFolders* folders, int filesInFlight) {
  batch.folders = folders;
  copiesSynced = 0;
  batch.count = 0;
  batch.bytes = 0;
  batch.failures = 0;
  batch.batching = !noSync;
  int allowed =
      allowOpenFiles(batchFiles + filesForOthers + filesInFlight) - filesForOthers - filesInFlight;
  batch.mostFiles = allowed < fewestBatchFiles ? fewestBatchFiles
                    : allowed > batchFiles     ? batchFiles
                                               : allowed;
  batch.limit = batch.mostFiles < batchFilesAlone ? batch.mostFiles : batchFilesAlone;
  if (copyBatchFilesAtMost > 0 && copyBatchFilesAtMost < batch.limit)
    batch.limit = copyBatchFilesAtMost;
}

int endCopyBatches() {
  placeSyncingBatch();
  placeBatch();
  if (syncing.thread) {
    takeLock(syncing.lock);
    syncing.stopping = 1;
    wakeLockWaiters(syncing.lock);
    releaseLock(syncing.lock);
    unsigned ignored;
    waitThread(syncing.thread, &ignored);
    destroyLock(syncing.lock);
    syncing.thread = nullptr;
    syncing.lock = nullptr;
  }
  batch.batching = 0;
  int failures = batch.failures;
  batch.failures = 0;
  return failures;
}

void placeQueuedCopies() {
  placeSyncingBatch();
  placeBatch();
}

int copiesBatched() {
  return batch.batching;
}

int queueCopy(FILE* file, const char* destinationPath, const char* writePath, int holdsFile,
              long long size) {
  size_t pathLength = strlen(destinationPath) + 1;
  size_t writeLength = strlen(writePath) + 1;
  char* paths = static_cast<char*>(malloc(pathLength + writeLength));
  if (!paths) return 1;
  memcpy(paths, destinationPath, pathLength);
  memcpy(paths + pathLength, writePath, writeLength);
  batch.copies[batch.count++] = QueuedCopy{file, paths, holdsFile};
  batch.bytes += size;
  int full = batch.count >= batch.limit || batch.bytes >= batchBytes;
  if (!syncing.thread) {
    if (full) placeBatch();
    return 0;
  }
  // A test's size of batches stays as it asked.
  int enough =
      copyBatchFilesAtMost <= 0 && (batch.count >= handOverFiles || batch.bytes >= handOverBytes);
  if (full || (enough && syncedBatchWaiting() != 2)) handOverBatch();
  return 0;
}

int moveIntoPlace(DestinationFolders* folders, const char* path, const char* writePath,
                  int holdsFile, int* failure) {
  int result = placed;
  if (holdsFile || moveFileIn(folders, writePath, path, 0) != 0) {
    if (!holdsFile && checkReplaceableIn(folders, path) >= replaceableRefused)
      result = placeRefused;
    else if (moveFileIn(folders, writePath, path, 1) != 0)
      result = placeFailed;
    if (result != placed) *failure = lastFailureCode();
  }
  if (result == placed && copyPlacedHook) callCopySeam(copyPlacedHook, ++copiesPlaced);
  return result;
}

// An incomplete copy must not stay with a fresh time, which would make every later
// run take it for current. Not 0: Windows reads a zero time as "leave unchanged".
int discardIncompleteCopy(DestinationFolders* folders, const char* path) {
  constexpr FileTime outOfDateTime = {1, 0};
  if (deleteFileIn(folders, path) == folderDone) return 0;
  return setFileTimesIn(folders, path, outOfDateTime) == 0 ? 1 : 2;
}

int failUnwrittenCopy(DestinationFolders* folders, const char* path, const char* writePath,
                      int failure) {
  int outcome = discardIncompleteCopy(folders, writePath);
  reportFailure("write to disk the copy", path, nullptr, failure);
  if (verbose)
    consolePrintf("Failed to copy [%s], the copy could not be written to disk and %s !\n", path,
                  discardOutcomes[outcome]);
  return copyTransferFailed;
}
