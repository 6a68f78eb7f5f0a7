// The copy engine: the deciding thread hands in copies in the order it decides them;
// workers take them a folder at a time, so that no two create files in one folder at
// once; the deciding thread reports each finished copy in its turn. While copies are
// out, the deciding thread's own console text is held and comes out before the lines
// of the copy handed in after it: every stream reads as copies written one after
// another print it. The run's log is written at once: only the deciding thread
// writes it, in its own order, before each action is tried.
#include "copy/engine.h"

#include <cstdlib>
#include <new>

#include "base/run_folders.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "copy/report.h"

namespace {
// Tries of a waiting thread before it sleeps: a copy about to end, or one about to
// be handed in, costs no call to the system then.
constexpr int spinsBeforeSleep = 256;
// Copies handed in to one folder before sleeping workers are woken for them.
constexpr long long copiesPerWake = 16;
// A copy this large costs far more to write than to create: it is taken alone, even
// in a folder another worker writes into, so that the large files of one folder are
// written side by side.
constexpr int64_t aloneFrom = 4LL << 20;

// The deciding thread's text while copies are out: the log is written at once,
// console and error lines wait for their turn.
void takeHeld(void* sink, int stream, const char* text, size_t length) {
  CopyEngine* engine = static_cast<CopyEngine*>(sink);
  if (stream == outputLog) return appendToLog(engine->shared.log, text, length);
  if (holdText(&engine->held, stream, text, length)) engine->outOfMemory = 1;
}

// True, under the lock, when the copy at position at was taken by a worker. A slot
// taken again for a later copy counts as taken for every earlier position it held.
bool isClaimed(const CopyEngine* engine, long long at) {
  return engine->slots[at % engine->capacity].claimedAt >= at;
}

// Claims, under the lock, the oldest copies handed in whose folder no other worker
// writes into: the first such copy and those after it in the same folder, up to a
// large one. A large copy is claimed alone, whoever writes into its folder.
bool claimRun(CopyEngine* engine, int self, long long* first, long long* end) {
  long long published = engine->published.load(std::memory_order_acquire);
  while (engine->oldestUnclaimed < published && isClaimed(engine, engine->oldestUnclaimed))
    ++engine->oldestUnclaimed;
  for (long long at = engine->oldestUnclaimed; at < published; ++at) {
    CopySlot* slot = &engine->slots[at % engine->capacity];
    if (isClaimed(engine, at)) continue;
    if (slot->job.listedSize >= aloneFrom) {
      slot->claimedAt = at;
      *first = at;
      *end = at + 1;
      return true;
    }
    bool taken = false;
    for (int w = 0; w < engine->workerCount && !taken; ++w)
      taken = w != self && engine->owned[w] == slot->folder;
    if (taken) continue;
    engine->owned[self] = slot->folder;
    *first = at;
    for (*end = at; *end < published; ++*end) {
      CopySlot* next = &engine->slots[*end % engine->capacity];
      if (isClaimed(engine, *end) || next->folder != slot->folder ||
          next->job.listedSize >= aloneFrom)
        break;
      next->claimedAt = *end;
    }
    return true;
  }
  return false;
}

// Opens the sources of the run's next copies, from *next on, as far as the window
// takes them.
void readAheadRun(CopyEngine* engine, CopyWorker* worker, long long* next, long long end) {
  for (; *next < end; ++*next) {
    int result = readAheadSource(&worker->ahead, worker->sources,
                                 &engine->slots[*next % engine->capacity].job);
    if (result == readAheadFull || result == readAheadUnavailable) return;
  }
}

// Writes the copies claimed, the sources of those after each one read meanwhile.
void writeRun(CopyEngine* engine, CopyWorker* worker, long long first, long long end) {
  long long next = first;
  for (long long at = first; at < end; ++at) {
    CopyJob* job = &engine->slots[at % engine->capacity].job;
    if (next < at) next = at;
    readAheadRun(engine, worker, &next, end);
    takeReadAhead(worker, job);
    if (!writeCopy(worker, &engine->shared, job)) copyJobFinished(engine, job);
    // A copy that ended before it read its source (interrupted) leaves it here.
    if (worker->sourceReady) closeFile(worker->readySource.handle);
    worker->sourceReady = 0;
    placeSyncedCopies(worker, &engine->shared, 0);
  }
  dropReadAhead(&worker->ahead);
}

// Looks for copies handed in for a short while before it sleeps: the deciding thread
// most often hands in the next one at once, and a sleep costs two calls.
bool spinForWork(CopyEngine* engine, long long seen) {
  for (int spin = 0; spin < spinsBeforeSleep; ++spin)
    if (engine->published.load(std::memory_order_relaxed) != seen) return true;
  return false;
}

unsigned runWorker(void* argument) {
  CopyWorker* worker = static_cast<CopyWorker*>(argument);
  CopyEngine* engine = worker->engine;
  int self = static_cast<int>(worker - engine->workers);
  beginCopyThread();
  takeLock(engine->lock);
  for (;;) {
    long long first, end;
    long long seen = engine->published.load();
    if (claimRun(engine, self, &first, &end)) {
      releaseLock(engine->lock);
      writeRun(engine, worker, first, end);
      takeLock(engine->lock);
      engine->owned[self] = 0;
      continue;
    }
    // Idle: the copies it holds are placed once a sync covers them; at the end, or
    // where no sync thread runs for them, all of them at once.
    if (worker->waitingCount > 0) {
      int all = engine->stopping || !engine->shared.sync;
      releaseLock(engine->lock);
      int placed = placeSyncedCopies(worker, &engine->shared, all);
      takeLock(engine->lock);
      if (placed > 0) continue;
    }
    if (engine->stopping && worker->waitingCount == 0) break;
    releaseLock(engine->lock);
    bool more = spinForWork(engine, seen);
    takeLock(engine->lock);
    if (more) continue;
    // Counted as asleep before the last look: the deciding thread then either sees
    // it asleep and wakes it, or handed in before that look. The end of a sync
    // wakes it too, for the copies it holds: the sync's count is part of the look,
    // as a sync may end between the look above and this one.
    // The last worker to find nothing to write asks for the sync that the copies held
    // wait for: no more will be written before it.
    if (--engine->busyWorkers == 0) hurryCopySync(engine->shared.sync);
    ++engine->sleepers;
    if (engine->published.load() == seen && !engine->stopping &&
        !heldCopiesSynced(worker, &engine->shared))
      waitOnLock(engine->lock);
    --engine->sleepers;
    ++engine->busyWorkers;
  }
  releaseLock(engine->lock);
  // Its descriptors are in its own table: only it can close them.
  closeTreeFolders(&worker->ownFolders);
  closeTreeFolders(&worker->ownSources);
  if (worker->backupFolders.root) closeTreeFolders(&worker->backupFolders);
  return 0;
}

// Wakes sleeping workers; without force, only for enough copies to be worth the call
// (a new folder's, or a few of one folder's).
void wakeWorkers(CopyEngine* engine, bool force) {
  if (engine->sleepers.load() == 0) return;
  const CopySlot* last = &engine->slots[(engine->submitted - 1) % engine->capacity];
  if (!force && engine->submitted - engine->wokenAt < copiesPerWake &&
      last->folder == engine->wokenFolder && last->job.listedSize < aloneFrom)
    return;
  engine->wokenAt = engine->submitted;
  engine->wokenFolder = last->folder;
  takeLock(engine->lock);
  wakeLockWaiters(engine->lock);
  releaseLock(engine->lock);
}

// Waits until the copy is finished: the copies held for a sync are synced now.
void waitForCopy(CopyEngine* engine, CopyJob* job) {
  if (engine->inlineWriter) {
    placeSyncedCopies(engine->inlineWriter, &engine->shared, 1);
    return;
  }
  wakeWorkers(engine, true);
  for (int spin = 0; spin < spinsBeforeSleep; ++spin)
    if (job->done.load(std::memory_order_acquire)) return;
  // A copy held for its sync is placed once the workers have written enough for one,
  // or have nothing left to write: the sync is not hurried for one copy. Told before
  // its last look: the worker that finishes this copy then either wakes it, or
  // finished it before the look.
  takeLock(engine->reportLock);
  engine->deciderWaitsFor = job->sequence;
  while (!job->done.load()) waitOnLock(engine->reportLock);
  engine->deciderWaitsFor = -1;
  releaseLock(engine->reportLock);
}

// Reports the oldest copy not yet reported: the text before it, its lines, its
// outcome. False, when wait is not set, where it is not finished yet.
bool reportOldest(CopyEngine* engine, int wait) {
  CopySlot* slot = &engine->slots[engine->reported % engine->capacity];
  CopyJob* job = &slot->job;
  if (!job->done.load(std::memory_order_acquire)) {
    if (!wait) return false;
    waitForCopy(engine, job);
  }
  printHeldText(&slot->before);
  const OutputDiversion* diversion = threadOutputDiversion();
  divertThreadOutput(nullptr);
  printCopyLines(job, *engine->shared.settings, engine->folder);
  CopyRequest request = {job->destinationPath, job->sourcePath,   job->time,
                         job->listedSize,      job->replacesFile, job->wantsIdentity,
                         job->metadata,        job->metadataParts};
  CopyOutcome outcome = {&request,
                         job->notes.result,
                         job->notes.identityKnown,
                         job->notes.identity,
                         job->notes.replacedMoved,
                         job->notes.metadata.notHeld,
                         job->notes.metadata.notAllowed};
  engine->finished(engine->context, &outcome);
  divertThreadOutput(diversion);
  ++engine->reported;
  return true;
}

// The ring is full: a share of it is reported before the next copy is handed in, so
// that the deciding thread sleeps once for many copies, not once for each.
void makeRoom(CopyEngine* engine) {
  long long share = engine->capacity / 8 < 1 ? 1 : engine->capacity / 8;
  CopyJob* last = &engine->slots[(engine->reported + share - 1) % engine->capacity].job;
  if (!last->done.load(std::memory_order_acquire)) waitForCopy(engine, last);
  long long target = engine->reported + share;
  while (engine->reported < target) reportOldest(engine, 1);
}

int startWorkers(CopyEngine* engine, const CopyRoomSize& size) {
  int count = size.workers;
  engine->workers = new (std::nothrow) CopyWorker[count];
  engine->owned = static_cast<uint64_t*>(calloc(static_cast<size_t>(count), sizeof(uint64_t)));
  if (!engine->workers || !engine->owned) return 1;
  // Before the workers: they read it from their first look on.
  engine->shared.sync =
      startCopySync(engine->shared.settings->destinationRoot, engine->lock, &engine->sleepers);
  for (int i = 0; i < count; ++i) {
    CopyWorker* worker = &engine->workers[i];
    if (openWorker(worker, engine, i + 1, size, nullptr, nullptr)) break;
    worker->thread = startThread(runWorker, worker);
    if (!worker->thread) {
      closeWorker(worker);
      break;
    }
    ++engine->workerCount;
    ++engine->busyWorkers;
  }
  if (engine->workerCount == 0) {
    stopCopySync(engine->shared.sync);
    engine->shared.sync = nullptr;
  }
  return engine->workerCount == 0;
}

void stopWorkers(CopyEngine* engine) {
  takeLock(engine->lock);
  engine->stopping = 1;
  wakeLockWaiters(engine->lock);
  releaseLock(engine->lock);
  for (int i = 0; i < engine->workerCount; ++i) {
    unsigned ignored;
    waitThread(engine->workers[i].thread, &ignored);
    closeWorker(&engine->workers[i]);
  }
  stopCopySync(engine->shared.sync);
  delete[] engine->workers;
  free(engine->owned);
}

int workersWanted(const RunSettings& settings) {
  int wanted = settings.copyWorkers;
  if (wanted == 0)
    wanted = usableProcessors() < mostDefaultWorkers ? usableProcessors() : mostDefaultWorkers;
  return wanted < 2 ? 0 : wanted;
}

// Starts workers as the process's files allow, or readies the deciding thread to
// write the copies itself; 1 when memory ran out.
int startWriting(CopyEngine* engine) {
  CopyRoomSize size;
  int wanted = workersWanted(*engine->shared.settings);
  sizeCopyRoom(wanted, allowOpenFiles(filesWanted(wanted)), &size);
  engine->shared.batching = !engine->shared.settings->noSync && syncsWholeFileSystems();
  if (size.workers > 0 && startWorkers(engine, size) == 0) {
    engine->capacity = engine->workerCount * (size.held + 2 * spinsBeforeSleep);
  } else {
    // The deciding thread writes each copy as it hands it in: it has none to read ahead.
    size.ahead = 0;
    engine->inlineWriter = new (std::nothrow) CopyWorker;
    if (!engine->inlineWriter ||
        openWorker(engine->inlineWriter, engine, 0, size, engine->folders, &engine->sourceFolders))
      return 1;
    engine->capacity = size.held + 1;
  }
  engine->slots = new (std::nothrow) CopySlot[engine->capacity]();
  if (!engine->slots) return 1;
  for (int i = 0; i < engine->capacity; ++i) engine->slots[i].claimedAt = -1;
  return 0;
}
}  // namespace

CopyEngine* copyBegin(const RunSettings* settings, const RunFolders* runFolders, RunLog* log,
                      TreeFolders* folders, const CopySeams* seams, CopyFinished finished,
                      void* context) {
  CopyEngine* engine = new (std::nothrow) CopyEngine{};
  if (!engine) return nullptr;
  engine->seams = seams ? *seams : noCopySeams;
  engine->shared.engine = engine;
  engine->shared.settings = settings;
  engine->shared.runFolders = runFolders;
  engine->shared.log = log;
  engine->shared.seams = &engine->seams;
  engine->finished = finished;
  engine->context = context;
  engine->deciderWaitsFor = -1;
  engine->lock = createLock();
  engine->reportLock = createLock();
  engine->folder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  engine->sourceFolder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  engine->folders = folders;
  if (!engine->lock || !engine->reportLock || !engine->folder || !engine->sourceFolder ||
      openTreeFolders(&engine->sourceFolders, &runFolders->source) || startWriting(engine)) {
    copyEnd(engine);
    return nullptr;
  }
  engine->shared.seamLock = engine->workerCount > 0 ? engine->lock : nullptr;
  if (engine->seams.workersStarted) *engine->seams.workersStarted = engine->workerCount;
  engine->holding = OutputDiversion{takeHeld, engine};
  divertThreadOutput(&engine->holding);
  return engine;
}

void copySubmit(CopyEngine* engine, const CopyRequest* request) {
  if (!engine->guardMade) {
    guardPartialNames(&engine->shared.guard,
                      static_cast<size_t>(engine->shared.settings->destinationRootLength));
    engine->guardMade = 1;
  }
  while (engine->reported < engine->submitted && reportOldest(engine, 0)) {
  }
  if (engine->submitted - engine->reported >= engine->capacity) makeRoom(engine);
  // Nothing out: what the deciding thread printed so far needs no copy to wait for.
  if (engine->reported == engine->submitted) printHeldText(&engine->held);
  CopySlot* slot = &engine->slots[engine->submitted % engine->capacity];
  if (fillSlot(slot, request, engine->submitted)) engine->outOfMemory = 1;
  HeldText before = slot->before;
  slot->before = engine->held;
  engine->held = before;
  engine->held.length = 0;
  CopyJob* job = &slot->job;
  ++engine->submitted;
  if (engine->outOfMemory) {
    job->notes.result = copyOutOfMemory;
    copyJobFinished(engine, job);
    return;
  }
  makeMissingFolder(engine->folders, &engine->sourceFolders, engine->folder, engine->sourceFolder,
                    job);
  if (engine->inlineWriter) {
    if (!writeCopy(engine->inlineWriter, &engine->shared, job)) copyJobFinished(engine, job);
  } else {
    engine->published.store(engine->submitted, std::memory_order_release);
    wakeWorkers(engine, false);
  }
}

int copyEnd(CopyEngine* engine) {
  while (engine->reported < engine->submitted) reportOldest(engine, 1);
  if (engine->workers) stopWorkers(engine);
  if (engine->inlineWriter) {
    closeWorker(engine->inlineWriter);
    delete engine->inlineWriter;
  }
  if (threadOutputDiversion() == &engine->holding) divertThreadOutput(nullptr);
  printHeldText(&engine->held);
  int outOfMemory = engine->outOfMemory;
  if (engine->guardMade) releasePartialNames(&engine->shared.guard);
  if (engine->slots) freeSlots(engine->slots, engine->capacity);
  free(engine->held.data);
  free(engine->folder);
  free(engine->sourceFolder);
  if (engine->sourceFolders.root) closeTreeFolders(&engine->sourceFolders);
  if (engine->lock) destroyLock(engine->lock);
  if (engine->reportLock) destroyLock(engine->reportLock);
  delete engine;
  return outOfMemory;
}
