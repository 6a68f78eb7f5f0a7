// The engine's records: its slots for the copies handed in, the workers' own
// records, and how many of each the files the process may open allow.
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/paths.h"
#include "base/run_folders.h"
#include "base/settings.h"
#include "copy/engine.h"

namespace {
// Descriptors a worker holds besides the copies waiting for their sync: the source,
// the copy being written, and its ways into the source's and the destination's
// folders (their roots are the run's held ones).
constexpr int filesPerWorker = 6;
// Descriptors left to everything else: the listing's remains, the log, the roots the
// run holds, the deciding thread's ways into the trees, the sync thread's.
constexpr int filesForOthers = 16;
// Copies a thread holds for one sync at most; a batch is placed once it is full.
constexpr int heldAtMost = 4096;
// Below this many free descriptors each worker would hold too few copies for their
// syncs to be shared: the copies are then written on the deciding thread.
constexpr int fewestFilesForWorkers = 128;
// Sources a worker holds open ahead of their copies at most, and the bytes all the
// workers together ask to be read ahead.
constexpr int readAheadAtMost = 32;
constexpr uint64_t readAheadBytes = 32u << 20;
// Slots for copies handed in and not yet taken, beyond those held for their syncs.
constexpr int slotsAhead = 256;

// The key of the folder of a destination path: copies with one key are never written
// at once. Equal folders give equal keys; a clash of two others only costs them
// their running at once.
uint64_t folderKey(const char* path) {
  size_t length = folderPartLength(path);
  uint64_t hash = 14695981039346656037ULL;
  for (size_t at = 0; at < length; ++at)
    hash = (hash ^ static_cast<unsigned char>(path[at])) * 1099511628211ULL;
  return hash == 0 ? 1 : hash;
}

// Copies text into a buffer of the job's, grown as needed; 0 when done.
int keepText(char** buffer, size_t* capacity, const char* text) {
  size_t length = strlen(text) + 1;
  if (length > *capacity) {
    char* grown = static_cast<char*>(realloc(*buffer, length));
    if (!grown) return 1;
    *buffer = grown;
    *capacity = length;
  }
  memcpy(*buffer, text, length);
  return 0;
}

// A partial file's path is its destination's folder and a name of at most 255 bytes.
int makeWriteRoom(CopyJob* job) {
  size_t wanted = strlen(job->destinationPath) + 257;
  if (wanted <= job->writeCapacity) return 0;
  char* grown = static_cast<char*>(realloc(job->writePath, wanted));
  if (!grown) return 1;
  job->writePath = grown;
  job->writeCapacity = wanted;
  return 0;
}
}  // namespace

int fillSlot(CopySlot* slot, const CopyRequest* request, long long sequence) {
  CopyJob* job = &slot->job;
  job->done.store(0, std::memory_order_relaxed);
  job->sequence = sequence;
  job->time = request->time;
  job->listedSize = request->listedSize;
  job->replacesFile = request->replacesFile;
  job->wantsIdentity = request->wantsIdentity;
  job->metadata = request->metadata;
  job->metadataParts = request->metadataParts;
  job->notes = CopyNotes{};
  slot->folder = folderKey(request->destinationPath);
  return keepText(&job->destinationPath, &job->destinationCapacity, request->destinationPath) ||
         keepText(&job->sourcePath, &job->sourceCapacity, request->sourcePath) ||
         makeWriteRoom(job);
}

void freeSlots(CopySlot* slots, int count) {
  for (int i = 0; i < count; ++i) {
    free(slots[i].job.destinationPath);
    free(slots[i].job.sourcePath);
    free(slots[i].job.writePath);
    free(slots[i].before.data);
  }
  delete[] slots;
}

void sizeCopyRoom(int wanted, int freeFiles, CopyRoomSize* size) {
  size->workers = freeFiles < fewestFilesForWorkers ? 0 : wanted;
  int threads = size->workers > 0 ? size->workers : 1;
  // Each worker of its own descriptor table (beginCopyThread) would have the whole
  // room; the share is what every system gives.
  int share = (freeFiles - filesForOthers) / threads - filesPerWorker;
  // Only workers read ahead: the deciding thread writes each copy as it hands it in.
  // Their window takes a quarter of the share at most, the copies held the rest.
  int ahead = size->workers == 0 || share < 4 ? 0 : share / 4;
  size->ahead = ahead > readAheadAtMost ? readAheadAtMost : ahead;
  share -= size->ahead;
  size->held = share < 1 ? 1 : share > heldAtMost ? heldAtMost : share;
}

int filesWanted(int workers) {
  int ahead = workers > 0 ? readAheadAtMost : 0;
  return (workers > 0 ? workers : 1) * (heldAtMost + ahead + filesPerWorker) + filesForOthers;
}

int fewestFilesForCopies(int* freeFiles) {
  // The copy's source and file, the deciding thread's way into the source (the
  // folder reached last) and into the destination while it opens the next folder on
  // its way (the folder before and the next), which it lends to the copies it writes
  // itself; the roots are the run's own, held already. A copy held for its sync is
  // placed where the next one needs its file.
  constexpr int fewest = 2 + 1 + 2;
  *freeFiles = allowOpenFiles(fewest);
  return fewest;
}

int openWorker(CopyWorker* worker, CopyEngine* engine, int writer, const CopyRoomSize& size,
               TreeFolders* folders, TreeFolders* sources) {
  *worker = CopyWorker{};
  int held = size.held;
  int threads = size.workers > 0 ? size.workers : 1;
  worker->engine = engine;
  worker->writer = writer;
  worker->waitingLimit = held;
  worker->buffer = static_cast<unsigned char*>(malloc(copyBufferSize));
  worker->folder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  worker->sourceFolder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  worker->waiting = static_cast<CopyJob**>(malloc(sizeof(CopyJob*) * static_cast<size_t>(held)));
  worker->ownFolders = TreeFolders{};
  worker->folders = folders ? folders : &worker->ownFolders;
  worker->backupFolders = TreeFolders{};
  worker->ownSources = TreeFolders{};
  worker->sources = sources ? sources : &worker->ownSources;
  int backupReady = 1;
  // Its own ways into the trees the run holds: never a path to open again.
  const RunFolders& trees = *engine->shared.runFolders;
  if (trees.backupRun.handle != noFolder) {
    worker->backupPath = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
    backupReady =
        worker->backupPath && openTreeFolders(&worker->backupFolders, &trees.backupRun) == 0;
  }
  int aheadReady = openReadAhead(&worker->ahead, size.ahead,
                                 readAheadBytes / static_cast<uint64_t>(threads)) == 0;
  if (worker->buffer && worker->folder && worker->sourceFolder && worker->waiting && backupReady &&
      aheadReady && (sources || openTreeFolders(&worker->ownSources, &trees.source) == 0) &&
      (folders || openTreeFolders(&worker->ownFolders, &trees.destination) == 0))
    return 0;
  closeWorker(worker);
  return 1;
}

void closeWorker(CopyWorker* worker) {
  if (worker->ownFolders.root) closeTreeFolders(&worker->ownFolders);
  if (worker->ownSources.root) closeTreeFolders(&worker->ownSources);
  if (worker->backupFolders.root) closeTreeFolders(&worker->backupFolders);
  free(worker->backupPath);
  worker->backupPath = nullptr;
  free(worker->buffer);
  free(worker->folder);
  free(worker->sourceFolder);
  free(worker->waiting);
  freeExtraMetadata(&worker->extra);
  closeReadAhead(&worker->ahead);
  worker->buffer = nullptr;
  worker->folder = worker->sourceFolder = nullptr;
  worker->waiting = nullptr;
}

void copyJobFinished(CopyEngine* engine, CopyJob* job) {
  job->done.store(1);
  // Only a deciding thread that sleeps on this very copy costs a call.
  if (engine->deciderWaitsFor.load() != job->sequence) return;
  takeLock(engine->reportLock);
  wakeLockWaiters(engine->reportLock);
  releaseLock(engine->reportLock);
}

namespace {
// The size of a record's head: its stream, then its length.
constexpr size_t headSize = 1 + sizeof(size_t);
}  // namespace

int holdText(HeldText* held, int stream, const char* text, size_t length) {
  size_t wanted = held->length + headSize + length;
  if (wanted > held->capacity) {
    size_t capacity = held->capacity < 4096 ? 4096 : held->capacity;
    while (capacity < wanted) capacity *= 2;
    char* grown = static_cast<char*>(realloc(held->data, capacity));
    if (!grown) return 1;
    held->data = grown;
    held->capacity = capacity;
  }
  char* at = held->data + held->length;
  at[0] = static_cast<char>(stream);
  memcpy(at + 1, &length, sizeof length);
  memcpy(at + headSize, text, length);
  held->length = wanted;
  return 0;
}

void printHeldText(HeldText* held) {
  const OutputDiversion* diversion = threadOutputDiversion();
  divertThreadOutput(nullptr);
  for (size_t at = 0; at + headSize <= held->length;) {
    const char* head = held->data + at;
    size_t length;
    memcpy(&length, head + 1, sizeof length);
    if (head[0] == outputError)
      errorPrintf("%.*s", static_cast<int>(length), head + headSize);
    else if (head[0] == outputJson)
      jsonPrint(head + headSize, length);
    else
      consolePrintf("%.*s", static_cast<int>(length), head + headSize);
    at += headSize + length;
  }
  held->length = 0;
  divertThreadOutput(diversion);
}
