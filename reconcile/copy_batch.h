// Finished copies that wait under their partial names until their data is on disk,
// and then take their destinations' names one after another. One sync of the file
// system then serves a whole batch instead of one per file.
#pragma once

#include <cstdio>

#include "platform/folders.h"

/// Starts batching, unless noSync is set: copies queued from now on wait until the
/// batch is full or endCopyBatches, and take their places through folders, which the
/// caller holds until then.
/// filesInFlight open files are left to the copies being written.
void beginCopyBatches(DestinationFolders* folders, int filesInFlight);
/// Places every queued copy and ends batching. Returns the number of queued copies
/// that failed to be placed since beginCopyBatches; each was reported with -v, its
/// partial file removed.
int endCopyBatches();
/// From now on a full batch is synced on a thread of its own while the next one is
/// written, and only placed by placeSyncedBatch: the caller holds its output back
/// and, where it meets the batch's mark (outputBatchMark) in what it held, calls
/// placeSyncedBatch before printing what follows. 1 when the thread started (never
/// with noSync); each of the two batches then holds up to half the files the
/// process may keep open for them (at most 8,192), and is handed over as soon as
/// the one before is synced, once it holds a few hundred copies.
int syncBatchesAside();
/// 0 when no batch is out for its sync, 1 when one is out and synced, 2 while its
/// sync goes on.
int syncedBatchWaiting();
/// Waits for the batch out for its sync and places its copies, in their order.
void placeSyncedBatch();
/// Set by whoever holds output back for syncBatchesAside: prints what it holds, up
/// to its end, placing a synced batch where its mark stands.
extern void (*printHeldOutput)();
/// Places every queued copy now, to free the files they hold open; batching goes on.
void placeQueuedCopies();
/// True while copies are batched.
int copiesBatched();

/// Queues a finished copy of size bytes, stamped and still open as file, written to
/// writePath for destinationPath; holdsFile tells that a replaceable file stood at
/// destinationPath when the copy began. Places the batch when it is full. 0 when
/// queued; 1 when it could not be, and the copy is then left to the caller.
int queueCopy(FILE* file, const char* destinationPath, const char* writePath, int holdsFile,
              long long size);

/// Results of moveIntoPlace.
enum PlaceResult { placed, placeRefused, placeFailed };
/// Moves a finished copy from writePath to destinationPath: over the file that was
/// there when holdsFile is set, else into a free place or, where something stands
/// there now, over it once it is found replaceable. Returns a PlaceResult; failure
/// then tells the system's reason.
int moveIntoPlace(DestinationFolders* folders, const char* destinationPath, const char* writePath,
                  int holdsFile, int* failure);

/// Removes an incomplete copy or, where it cannot be removed, gives it the oldest time
/// there is; returns the index of its outcome in discardOutcomes.
int discardIncompleteCopy(DestinationFolders* folders, const char* path);
/// "was removed", and the two other outcomes of discardIncompleteCopy.
extern const char* const discardOutcomes[3];
/// Reports a copy whose data could not be written to disk (on standard error with
/// failure, its reason, and with -v on standard output), removes it and returns
/// copyTransferFailed.
int failUnwrittenCopy(DestinationFolders* folders, const char* destinationPath,
                      const char* writePath, int failure);

/// Test seam: when set, called after each copy took its destination's name, with
/// the number of copies placed so far in this process.
extern void (*copyPlacedHook)(long long placedSoFar);
/// Test seam: when above 0, a batch holds at most this many copies, so that a test
/// of a few hundred files meets several batches.
extern int copyBatchFilesAtMost;
/// Test seam: when not -1, the sync of the copy at this position (from 0) among
/// those synced since beginCopyBatches is taken as failed, as on a disk that fails
/// to write it.
extern int copySyncFaultAt;
/// Counts one copy synced; true when the seam makes its sync fail.
int syncFaultHere();
