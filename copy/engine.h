// The copy engine's own records, between engine.cpp and records.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "copy/room.h"

/// Text the deciding thread printed, held for its turn: records of a stream, a
/// length and the bytes.
struct HeldText {
  char* data;
  size_t length;
  size_t capacity;
};

/// One place of the engine's ring: a copy and the deciding thread's text before it.
struct CopySlot {
  CopyJob job;
  HeldText before;
  uint64_t folder;      ///< the key of the copy's folder
  long long claimedAt;  ///< under the engine's lock: the last position a worker took it at
};

struct CopyEngine {
  CopyShared shared;
  CopySeams seams;
  CopyFinished finished;
  void* context;
  CopySlot* slots;
  int capacity;
  long long submitted;               ///< deciding thread
  std::atomic<long long> published;  ///< the copies workers may take
  long long reported;                ///< deciding thread
  long long oldestUnclaimed;         ///< under lock
  CopyWorker* workers;
  int workerCount;
  uint64_t* owned;            ///< under lock: the folder each worker writes into, or 0
  CopyWorker* inlineWriter;   ///< the deciding thread's own, where no worker runs
  PlatformLock* lock;         ///< the workers': taking copies, sleeping for want of them
  std::atomic<int> sleepers;  ///< workers asleep on lock
  PlatformLock* reportLock;   ///< the deciding thread's, waiting for a copy to finish
  std::atomic<long long> deciderWaitsFor;  ///< that copy, or -1
  std::atomic<int> busyWorkers;            ///< workers not asleep for want of work
  int stopping;                            ///< under lock
  long long wokenAt;     ///< deciding thread: the copies handed in when it last woke workers
  uint64_t wokenFolder;  ///< and the folder of the last of them
  HeldText held;
  OutputDiversion holding;
  int outOfMemory;
  int guardMade;
  char* folder;  ///< the deciding thread's scratch paths
  char* sourceFolder;
  TreeFolders* folders;       ///< the deciding thread's way into the destination
  TreeFolders sourceFolders;  ///< and its way into the source
};

/// Fills a slot with a copy handed in; 1 when memory ran out.
int fillSlot(CopySlot* slot, const CopyRequest* request, long long sequence);
/// Frees count slots and what each holds.
void freeSlots(CopySlot* slots, int count);
/// How many threads write copies and how many files each may hold.
struct CopyRoomSize {
  int workers;  ///< workers to start; 0: the deciding thread writes the copies
  int held;     ///< copies each may hold open for their sync
  int ahead;    ///< sources each may hold open ahead of their copies
};
/// The workers to start of wanted, and the files each may hold, for freeFiles
/// descriptors free.
void sizeCopyRoom(int wanted, int freeFiles, CopyRoomSize* size);
/// The descriptors the copies of workers workers (0: the deciding thread's) would
/// use at most.
int filesWanted(int workers);
/// Readies a worker's record (its buffers, and its own ways into the destination and
/// the source unless folders and sources, the deciding thread's, are given); 1 when
/// memory ran out.
int openWorker(CopyWorker* worker, CopyEngine* engine, int writer, const CopyRoomSize& size,
               TreeFolders* folders, TreeFolders* sources);
/// Frees what openWorker made.
void closeWorker(CopyWorker* worker);
/// Appends a record of stream text to held; 1 when memory ran out.
int holdText(HeldText* held, int stream, const char* text, size_t length);
/// Prints what held holds, in its order, and empties it.
void printHeldText(HeldText* held);
