// Durability of many copies at once. Every sync of a file system waits for the disk
// to confirm its writes, some milliseconds even for little data, so a written copy
// stays open under its partial name until one sync of its file system covers it with
// many others; only then does it take its name. Where workers write, a thread of its
// own runs the syncs one after another, each covering every copy written before it
// began, while the workers go on; each worker places its own copies once a finished
// sync covers them. The deciding thread alone holds no copy.
#include <new>

#include "base/settings.h"
#include "copy/room.h"

namespace {
// A sync is started once this many copies or bytes were written since the last one
// began, or at once when a thread waits for one: the syncs follow one another while
// the copies go on, however long the disk takes to confirm, and a disk that confirms
// at once gets no more than one sync per so many copies.
constexpr long long syncFiles = 256;
constexpr long long syncBytes = 16LL << 20;
// A large copy's data starts on its way to the disk as soon as it is written; small
// ones are written out by the sync, by the system's own threads.
constexpr long long writeOutFrom = 1LL << 20;
// Bytes a worker holds for their sync at most: past them the batch is placed.
constexpr long long heldBytesAtMost = 128LL << 20;
}  // namespace

struct CopySync {
  PlatformLock* lock;  ///< its own: the sync thread and the workers waiting for it
  std::atomic<int> threadAsleep;
  PlatformLock* workersLock;  ///< the engine's, on which idle workers sleep
  std::atomic<int>* workersAsleep;
  PlatformThread* thread;
  const char* root;
  FileHandle rootHandle;  ///< opened by the sync thread itself, when first needed
  std::atomic<int> rootKnown;
  std::atomic<uint64_t> rootVolume;
  std::atomic<int> started;     ///< syncs begun
  std::atomic<int> completed;   ///< syncs over
  std::atomic<int> lastFailed;  ///< the last sync that reported a failure, or 0
  std::atomic<int> demand;      ///< the latest sync that a held copy needs
  std::atomic<int> urgent;      ///< a thread waits for a sync
  std::atomic<long long> writtenFiles;
  std::atomic<long long> writtenBytes;
  int stopping;  ///< under lock
};

namespace {
void wakeSyncThread(CopySync* sync) {
  if (sync->threadAsleep.load() == 0) return;
  takeLock(sync->lock);
  wakeLockWaiters(sync->lock);
  releaseLock(sync->lock);
}

// Idle workers that hold copies place those a finished sync covers.
void wakeIdleWorkers(CopySync* sync) {
  if (sync->workersAsleep->load() == 0) return;
  takeLock(sync->workersLock);
  wakeLockWaiters(sync->workersLock);
  releaseLock(sync->workersLock);
}

bool syncWanted(const CopySync* sync) {
  if (sync->demand.load() <= sync->started.load()) return false;
  return sync->urgent.load() || sync->stopping || sync->writtenFiles.load() >= syncFiles ||
         sync->writtenBytes.load() >= syncBytes;
}

// One sync of the destination's file system; 0 when it reported no failure.
int syncRoot(CopySync* sync) {
  if (sync->rootHandle == noFile) {
    uint64_t volume = 0;
    sync->rootHandle = openFolderForSync(sync->root, &volume);
    if (sync->rootHandle == noFile) return 1;
    sync->rootVolume = volume;
    sync->rootKnown = 1;
  }
  return syncFileSystemOf(sync->rootHandle);
}

unsigned runSyncThread(void* argument) {
  CopySync* sync = static_cast<CopySync*>(argument);
  takeLock(sync->lock);
  for (;;) {
    // Counted among the sleepers before it looks: a worker that makes a sync wanted
    // then either sees it asleep and wakes it, or was seen first.
    for (;;) {
      ++sync->threadAsleep;
      if (syncWanted(sync) || sync->stopping) break;
      waitOnLock(sync->lock);
      --sync->threadAsleep;
    }
    --sync->threadAsleep;
    if (!syncWanted(sync)) break;
    int number = ++sync->started;
    sync->urgent = 0;
    sync->writtenFiles = 0;
    sync->writtenBytes = 0;
    releaseLock(sync->lock);
    int failed = syncRoot(sync);
    takeLock(sync->lock);
    if (failed) sync->lastFailed = number;
    sync->completed = number;
    wakeLockWaiters(sync->lock);
    releaseLock(sync->lock);
    wakeIdleWorkers(sync);
    takeLock(sync->lock);
  }
  releaseLock(sync->lock);
  return 0;
}

// True when a finished sync covers the copy: one that began after its data was
// written, on its file system, and reported no failure since it needed one.
bool coveredBySync(const CopySync* sync, const CopyJob* job) {
  return sync->rootKnown.load() && sync->rootVolume.load() == job->volume &&
         sync->lastFailed.load() < job->syncNeeded;
}

// Waits until a sync has covered (or failed for) every copy the worker holds.
void waitForSync(CopySync* sync, int needed) {
  if (sync->completed.load() >= needed) return;
  takeLock(sync->lock);
  sync->urgent = 1;
  if (sync->demand.load() < needed) sync->demand = needed;
  wakeLockWaiters(sync->lock);
  // The sync thread wakes every waiter at the end of each sync, whoever sleeps.
  while (sync->completed.load() < needed) waitOnLock(sync->lock);
  releaseLock(sync->lock);
}

// Without a sync thread: one sync of each file system the held copies lie on, and
// each copy placed with its file system's result (-1 where it failed: the copy is
// then synced by itself, which tells whether its own data reached the disk).
int placeAfterOwnSyncs(CopyWorker* worker, CopyShared* shared) {
  constexpr int volumesSynced = 8;
  uint64_t volumes[volumesSynced];
  int results[volumesSynced];
  int count = 0;
  for (int i = 0; i < worker->waitingCount; ++i) {
    CopyJob* job = worker->waiting[i];
    int known = 0;
    int result = -1;
    for (int k = 0; k < count && !known; ++k)
      if (volumes[k] == job->volume) known = 1, result = results[k];
    if (!known && count < volumesSynced) {
      result = syncFileSystemOf(job->file) == 0 ? 0 : -1;
      volumes[count] = job->volume;
      results[count++] = result;
    }
    finishCopy(worker, shared, job, result);
    copyJobFinished(worker->engine, job);
  }
  int placed = worker->waitingCount;
  worker->waitingCount = 0;
  worker->waitingBytes = 0;
  return placed;
}
}  // namespace

CopySync* startCopySync(const char* destinationRoot, PlatformLock* workersLock,
                        std::atomic<int>* workersAsleep) {
  CopySync* sync = new (std::nothrow) CopySync{};
  if (!sync) return nullptr;
  sync->lock = createLock();
  if (!sync->lock) {
    delete sync;
    return nullptr;
  }
  sync->workersLock = workersLock;
  sync->workersAsleep = workersAsleep;
  sync->root = destinationRoot;
  sync->rootHandle = noFile;
  sync->thread = startThread(runSyncThread, sync);
  if (sync->thread) return sync;
  destroyLock(sync->lock);
  delete sync;
  return nullptr;
}

void stopCopySync(CopySync* sync) {
  if (!sync) return;
  takeLock(sync->lock);
  sync->stopping = 1;
  wakeLockWaiters(sync->lock);
  releaseLock(sync->lock);
  unsigned ignored;
  waitThread(sync->thread, &ignored);
  if (sync->rootHandle != noFile) closeFile(sync->rootHandle);
  destroyLock(sync->lock);
  delete sync;
}

void hurryCopySync(CopySync* sync) {
  if (!sync) return;
  // Woken even where the flag stood already: it may have been raised when no copy
  // was held yet, and the thread gone back to sleep.
  sync->urgent = 1;
  wakeSyncThread(sync);
}

bool heldCopiesSynced(const CopyWorker* worker, const CopyShared* shared) {
  return worker->waitingCount > 0 && shared->sync &&
         shared->sync->completed.load() >= worker->waiting[0]->syncNeeded;
}

void holdForSync(CopyWorker* worker, CopyShared* shared, CopyJob* job) {
  CopySync* sync = shared->sync;
  if (job->bytes >= writeOutFrom) startDataWrite(job->file);
  job->syncNeeded = sync ? sync->started.load() + 1 : 0;
  worker->waiting[worker->waitingCount++] = job;
  worker->waitingBytes += job->bytes;
  if (sync) {
    int wanted = job->syncNeeded;
    for (int now = sync->demand.load(); now < wanted;)
      if (sync->demand.compare_exchange_weak(now, wanted)) break;
    long long bytesBefore = sync->writtenBytes.fetch_add(job->bytes);
    // Only the copy that makes either count wakes the sync thread: no call per copy.
    if (++sync->writtenFiles == syncFiles ||
        (bytesBefore < syncBytes && bytesBefore + job->bytes >= syncBytes))
      wakeSyncThread(sync);
  }
  if (worker->waitingCount >= worker->waitingLimit || worker->waitingBytes >= heldBytesAtMost)
    placeSyncedCopies(worker, shared, 1);
}

int placeSyncedCopies(CopyWorker* worker, CopyShared* shared, int all) {
  CopySync* sync = shared->sync;
  if (worker->waitingCount == 0) return 0;
  if (!sync) return all ? placeAfterOwnSyncs(worker, shared) : 0;
  if (all) waitForSync(sync, worker->waiting[worker->waitingCount - 1]->syncNeeded);
  int completed = sync->completed.load();
  int placed = 0;
  while (placed < worker->waitingCount && worker->waiting[placed]->syncNeeded <= completed) {
    CopyJob* job = worker->waiting[placed++];
    finishCopy(worker, shared, job, coveredBySync(sync, job) ? 0 : -1);
    copyJobFinished(worker->engine, job);
    worker->waitingBytes -= job->bytes;
  }
  for (int i = placed; i < worker->waitingCount; ++i)
    worker->waiting[i - placed] = worker->waiting[i];
  worker->waitingCount -= placed;
  return placed;
}

int freeWorkerFiles(CopyWorker* worker, CopyShared* shared, int failure) {
  if (!isTooManyOpenFiles(failure) || worker->waitingCount == 0) return 0;
  placeSyncedCopies(worker, shared, 1);
  return 1;
}
