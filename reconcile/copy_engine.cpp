// The copy workers and the reporter that keeps their output in order.
//
// The deciding thread prepares each copy (its source opened, a missing folder made)
// and puts it in the next slot of a ring; a worker takes it and writes it, its text
// held in the slot. The deciding thread reports the slots in ring order: first the
// text it printed itself before the copy was handed in, then the worker's, then the
// copy's last step (joining the batch, whose sync and renames stay on this thread).
// While a copy is out, the deciding thread's own text is held back too, so every
// stream comes out as the copies written one after another would print it.
#include "reconcile/copy_engine.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "reconcile/copy_batch.h"
#include "run/failure_report.h"
#include "run/run_log.h"
#include "run/settings.h"

namespace {
// Copies out at once for each worker: enough that a worker never waits for the
// deciding thread, few enough that their open sources stay a small share of the
// process's files.
constexpr int slotsPerWorker = 8;
// Below this many open files the copies are written as they are handed in: the
// batch needs them more.
constexpr int fewestFilesForWorkers = 512;

struct Slot {
  CopyJob job;
  std::string before;  ///< the deciding thread's text from the copy before to this one
  std::string text;    ///< the worker's text
  int written;         ///< under the lock: the worker is done with it
};

struct Worker {
  DestinationFolders folders;
  CopyWriter writer;
  unsigned char* buffer;
  PlatformThread* thread;
};

struct Engine {
  PlatformLock* lock;
  Slot* slots;
  int capacity;
  Worker* workers;
  int workerCount;
  long long handedIn;  ///< under the lock
  long long taken;     ///< under the lock: the next slot a worker takes
  long long reported;  ///< deciding thread only
  int stopping;        ///< under the lock
  CopyWriter writer;   ///< the deciding thread's own
  CopyJob inlineJob;   ///< the one copy of a run without workers
  std::string held;    ///< the deciding thread's text since it handed in the last copy
  OutputDiversion holding;
  std::string tail;  ///< the text of a copy's last step
  OutputDiversion tailing;
  std::string out;  ///< text in its order, to be printed from printed on
  size_t printed;
  void (*finished)(const CopyJob* job);
  int lastRunWorkers;  ///< the workers the last run started
};
Engine engine;

// A record of diverted text: its stream, its length, its bytes.
void holdText(void* sink, int stream, const char* text, size_t length) {
  std::string* into = static_cast<std::string*>(sink);
  char head[1 + sizeof(size_t)];
  head[0] = static_cast<char>(stream);
  memcpy(head + 1, &length, sizeof length);
  into->append(head, sizeof head);
  into->append(text, length);
}

// The size of a record's head: its stream, then its length.
constexpr size_t headSize = 1 + sizeof(size_t);

// Prints the held text from where printing stopped, record by record as it was first
// printed, placing a synced batch where its mark stands. Stops at the mark of a batch
// still under its sync, unless wait is set.
void printHeld(int wait) {
  const OutputDiversion* diversion = threadOutputDiversion();
  divertThreadOutput(nullptr);
  while (engine.printed + headSize <= engine.out.size()) {
    const char* head = engine.out.data() + engine.printed;
    int stream = head[0];
    size_t length;
    memcpy(&length, head + 1, sizeof length);
    const char* text = head + headSize;
    if (stream == outputBatchMark) {
      if (!wait && syncedBatchWaiting() == 2) break;
      placeSyncedBatch();
    } else if (stream == outputLog) {
      appendToLog(text, length);
    } else if (stream == outputError) {
      errorPrintf("%.*s", static_cast<int>(length), text);
    } else {
      consolePrintf("%.*s", static_cast<int>(length), text);
    }
    engine.printed += headSize + length;
  }
  if (engine.printed == engine.out.size()) {
    engine.out.clear();
    engine.printed = 0;
  }
  divertThreadOutput(diversion);
}

void printAllHeld() {
  printHeld(1);
}

unsigned runWorker(void* argument) {
  Worker* worker = static_cast<Worker*>(argument);
  takeLock(engine.lock);
  for (;;) {
    while (!engine.stopping && engine.taken == engine.handedIn) waitOnLock(engine.lock);
    if (engine.taken == engine.handedIn) break;
    Slot* slot = &engine.slots[engine.taken++ % engine.capacity];
    // A copy that ended while it was prepared (an unreadable source) is only reported.
    if (slot->written) continue;
    releaseLock(engine.lock);
    OutputDiversion diversion = {holdText, &slot->text};
    divertThreadOutput(&diversion);
    writeCopy(&worker->writer, &slot->job);
    divertThreadOutput(nullptr);
    takeLock(engine.lock);
    slot->written = 1;
    wakeLockWaiters(engine.lock);
  }
  releaseLock(engine.lock);
  return 0;
}

// Reports the oldest copy out, waiting for its worker: the text before it, its
// worker's and its last step's join the text to print.
void reportOldest() {
  Slot* slot = &engine.slots[engine.reported % engine.capacity];
  takeLock(engine.lock);
  while (!slot->written) waitOnLock(engine.lock);
  releaseLock(engine.lock);
  engine.out += slot->before;
  engine.out += slot->text;
  engine.tail.clear();
  divertThreadOutput(&engine.tailing);
  finishCopy(&engine.writer, &slot->job);
  engine.finished(&slot->job);
  divertThreadOutput(&engine.holding);
  engine.out += engine.tail;
  ++engine.reported;
  if (engine.reported < engine.handedIn) return;
  // None out: what the deciding thread printed since comes next.
  engine.out += engine.held;
  engine.held.clear();
}

// Reports the copies whose workers are done, oldest first, without waiting.
void reportWritten() {
  while (engine.reported < engine.handedIn) {
    takeLock(engine.lock);
    int written = engine.slots[engine.reported % engine.capacity].written;
    releaseLock(engine.lock);
    if (!written) return;
    reportOldest();
  }
}

void settleAll() {
  while (engine.reported < engine.handedIn) reportOldest();
}

int workersWanted() {
  if (previewOnly) return 0;
  int wanted = copyWorkers;
  if (wanted == 0) {
    wanted = usableProcessors();
    if (wanted > mostDefaultWorkers) wanted = mostDefaultWorkers;
  }
  if (wanted < 2) return 0;
  return allowOpenFiles(fewestFilesForWorkers) < fewestFilesForWorkers ? 0 : wanted;
}

void stopWorkers() {
  takeLock(engine.lock);
  engine.stopping = 1;
  wakeLockWaiters(engine.lock);
  releaseLock(engine.lock);
  for (int i = 0; i < engine.workerCount; ++i) {
    Worker& worker = engine.workers[i];
    unsigned ignored;
    if (worker.thread) waitThread(worker.thread, &ignored);
    closeDestinationFolders(&worker.folders);
    free(worker.buffer);
  }
  delete[] engine.workers;
  delete[] engine.slots;
  destroyLock(engine.lock);
  engine.workers = nullptr;
  engine.slots = nullptr;
  engine.lock = nullptr;
  engine.workerCount = 0;
}

// Starts count workers; fewer where threads or memory run short, none at all when
// not even one starts.
void startWorkers(int count) {
  engine.lock = createLock();
  if (!engine.lock) return;
  engine.capacity = count * slotsPerWorker;
  engine.slots = new Slot[engine.capacity];
  engine.workers = new Worker[count];
  for (int i = 0; i < count; ++i) {
    Worker& worker = engine.workers[i];
    worker.thread = nullptr;
    worker.buffer = static_cast<unsigned char*>(malloc(copyBufferSize));
    if (!worker.buffer || openDestinationFolders(&worker.folders, destinationRoot)) {
      free(worker.buffer);
      break;
    }
    worker.writer = CopyWriter{&worker.folders, worker.buffer, 0};
    ++engine.workerCount;
    worker.thread = startThread(runWorker, &worker);
    if (!worker.thread) break;
  }
  if (engine.workerCount > 0 && engine.workers[0].thread) return;
  stopWorkers();
}
}  // namespace

void beginCopyEngine(DestinationFolders* folders, void (*finished)(const CopyJob* job)) {
  engine.writer = CopyWriter{folders, copyBuffer, 1};
  engine.finished = finished;
  engine.handedIn = engine.taken = engine.reported = 0;
  engine.stopping = 0;
  engine.held.clear();
  engine.holding = OutputDiversion{holdText, &engine.held};
  int wanted = workersWanted();
  engine.lastRunWorkers = 0;
  // Each copy out holds its source and its destination open.
  beginCopyBatches(folders, 2 * wanted * slotsPerWorker);
  if (wanted == 0) return;
  startWorkers(wanted);
  engine.lastRunWorkers = engine.workerCount;
  if (engine.workerCount == 0) return;
  copySeamLock = engine.lock;
  settleEarlierCopies = settleAll;
  // From here to the end, the deciding thread's text is held and printed in order.
  engine.out.clear();
  engine.printed = 0;
  engine.tail.clear();
  engine.tailing = OutputDiversion{holdText, &engine.tail};
  divertThreadOutput(&engine.holding);
  printHeldOutput = printAllHeld;
  syncBatchesAside();
}

void copyInTurn(const char* destinationPath, const char* sourcePath, FileTime time, int64_t size) {
  if (engine.workerCount == 0) {
    CopyJob* job = &engine.inlineJob;
    job->destinationPath = destinationPath;
    job->sourcePath = sourcePath;
    job->time = time;
    job->listedSize = size;
    if (prepareCopy(engine.writer.folders, job)) {
      writeCopy(&engine.writer, job);
      finishCopy(&engine.writer, job);
    }
    engine.finished(job);
    return;
  }
  reportWritten();
  while (engine.handedIn - engine.reported >= engine.capacity) reportOldest();
  printHeld(0);
  Slot* slot = &engine.slots[engine.handedIn % engine.capacity];
  CopyJob* job = &slot->job;
  job->destinationPath = destinationPath;
  job->sourcePath = sourcePath;
  job->time = time;
  job->listedSize = size;
  int toWrite = prepareCopy(engine.writer.folders, job);
  // Everything the deciding thread printed for this copy so far comes before it.
  slot->before.swap(engine.held);
  engine.held.clear();
  slot->text.clear();
  takeLock(engine.lock);
  slot->written = !toWrite;
  ++engine.handedIn;
  wakeLockWaiters(engine.lock);
  releaseLock(engine.lock);
  reportWritten();
}

int endCopyEngine() {
  if (engine.workerCount == 0) return endCopyBatches();
  settleAll();
  engine.out += engine.held;
  engine.held.clear();
  printHeld(1);
  // The last batch's lines are held as the rest were, and printed after.
  int failures = endCopyBatches();
  engine.out += engine.held;
  engine.held.clear();
  printHeld(1);
  divertThreadOutput(nullptr);
  printHeldOutput = nullptr;
  copySeamLock = nullptr;
  settleEarlierCopies = nullptr;
  stopWorkers();
  return failures;
}

int copyWorkersStarted() {
  return engine.lastRunWorkers;
}
