// What the files of the copy room share among themselves: one copy's record, the
// record of a thread that writes copies, and the steps each file offers the others.
// Nothing outside copy/ includes this.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "copy/copy.h"
#include "copy/partial_name.h"
#include "platform/copy_files.h"
#include "platform/folders.h"
#include "platform/metadata.h"

struct CopyEngine;
struct CopySync;
struct RunFolders;
struct RunLog;
struct RunSettings;

/// The step of a copy whose failure its lines tell.
enum CopyStep {
  stepNone = 0,
  stepRead,       ///< the source could not be opened or is no regular file
  stepCreate,     ///< the copy's file could not be made, or the destination is refused
  stepTransfer,   ///< reading or writing failed, or the copy was interrupted
  stepUnwritten,  ///< its data could not be synced (or the file closed)
  stepPlace,      ///< it could not take the destination's name
};

/// Things a copy met on its way that its lines tell, in the order met. Each folder
/// event is told as "Creating folder" with -v.
enum CopyEvent {
  eventFolderMade = 0,       ///< its folder was missing and was made
  eventEmptyFolderGone = 1,  ///< an empty folder at the destination gave way
  eventFolderRepaired = 2,   ///< a failed create made its folder chain again, none missing
  eventFolderNotMade = 3,    ///< its folder was missing and could not be made (folderFailure)
};
/// At most this many events: the folder made, the repair, an empty folder each time.
constexpr int mostCopyEvents = 4;

/// What happened to one copy, as its lines will tell it.
struct CopyNotes {
  int result;  ///< a CopyResult
  unsigned char events[mostCopyEvents];
  int eventCount;
  int failedStep;     ///< a CopyStep
  int failure;        ///< the reason of the failed step (lastFailureCode or OwnFailure)
  int timeFailure;    ///< copyTimeNotSet: why
  int discarded;      ///< the outcome of discardCopy for a failed copy
  int identityKnown;  ///< identity holds the copy in its place
  FileIdentity identity;
  int replacedMoved;  ///< the file it replaces went to the backup folder
  int folderFailure;  ///< eventFolderNotMade: why
  /// What setting its metadata met (copyMetadataNotSet: failedPart and failure).
  MetadataOutcome metadata;
};

/// One copy from its submission to its report.
struct CopyJob {
  char* destinationPath;
  char* sourcePath;
  char* writePath;  ///< the partial file the copy is written to
  size_t destinationCapacity;
  size_t sourceCapacity;
  size_t writeCapacity;
  FileTime time;
  int64_t listedSize;
  int replacesFile;        ///< an update: the listing found a file at the destination
  int wantsIdentity;       ///< the deciding thread keeps the copy's identity
  EntryMetadata metadata;  ///< the source's, as listed
  int metadataParts;       ///< the kinds of it the copy takes (MetadataPart bits)
  long long sequence;      ///< its place among the copies submitted, from 0
  // Between writing and placing:
  FileHandle file;  ///< the copy, open; noFile once closed
  int holdsFile;    ///< a file stood at the destination when the copy began
  int timesByPath;  ///< its times are to be set once it is closed
  uint64_t volume;  ///< the file system the copy lies on
  long long bytes;  ///< its data written
  int syncNeeded;   ///< the sync that covers its data: the first to start after it
  CopyNotes notes;
  /// Set, once notes are complete, by the thread that finished it; read by the
  /// deciding thread before it reports it.
  std::atomic<int> done;
};

/// Results of readAheadSource.
enum ReadAheadResult {
  readAheadStarted = 0,      ///< the source is held open, its first bytes asked for
  readAheadFull = 1,         ///< the window is full: ask again after the next copy
  readAheadFailed = 2,       ///< it could not be opened; its copy opens it and tells why
  readAheadUnavailable = 3,  ///< the system takes no hint, or files ran short: ask no more
};

/// A source opened ahead of its copy, its first bytes asked for.
struct HeldSource {
  const CopyJob* job;
  SourceFile source;
  uint64_t bytes;  ///< the bytes asked for
};

/// The sources of the next copies a worker writes, opened in their order and asked to
/// be read while the copy before them is written, so that a source not in memory is
/// read with many requests in flight. Each is opened once: its copy takes it from
/// here. Bounded by count (a share of the descriptors the process may open) and by
/// the bytes asked for.
struct ReadAheadWindow {
  HeldSource* files;  ///< a ring of limit slots
  int limit;          ///< 0: no window
  int first;
  int count;
  uint64_t bytes;
  uint64_t byteLimit;
  int stopped;  ///< the system takes no hint, or files ran short: nothing more is held
};

/// A thread that writes copies: its own way into the destination, its buffer, its
/// progress, and the copies it wrote that wait for their sync.
struct CopyWorker {
  CopyEngine* engine;
  /// Its way into the destination: its own (ownFolders) for a worker, the deciding
  /// thread's for the deciding thread.
  TreeFolders* folders;
  TreeFolders ownFolders;
  /// Its way into the source, which it reads copies from: its own (ownSources) for
  /// a worker, the deciding thread's for the deciding thread.
  TreeFolders* sources;
  TreeFolders ownSources;
  /// With --backup-dir: its way into the run's backup folder, where an update's old
  /// file goes, and a path buffer (pathBufferSize bytes) for it; else unopened, null.
  TreeFolders backupFolders;
  char* backupPath;
  unsigned char* buffer;  ///< copyBufferSize bytes
  char* folder;           ///< pathBufferSize bytes each: the folders of a copy
  char* sourceFolder;
  PlatformThread* thread;
  ReadAheadWindow ahead;
  /// The source of the copy being written, taken from the window; else unset.
  int sourceReady;
  SourceFile readySource;
  int writer;         ///< its slot in the progress line's counts
  CopyJob** waiting;  ///< written and open, in their order, until synced
  int waitingCount;
  int waitingLimit;  ///< copies it may hold open for their sync
  long long waitingBytes;
  /// The kernel could not copy from noKernelFrom into noKernelInto: the block loop
  /// copies between those file systems from then on.
  int noKernel;
  uint64_t noKernelFrom;
  uint64_t noKernelInto;
  uint64_t lastVolume;  ///< where its last copy landed
  /// File systems on which a copy was seen to keep the time it was given.
  uint64_t keptVolumes[4];
  int keptVolumeCount;
  /// Kinds of metadata the destination refused as unsupported: left out of this
  /// worker's later copies, and counted as not held for each.
  int metadataNotHeld;
  /// The source's extended attributes and access lists, read for each copy.
  ExtraMetadata extra;
};

/// What the whole engine offers the steps of one copy.
struct CopyShared {
  CopyEngine* engine;
  const RunSettings* settings;
  const RunFolders* runFolders;
  RunLog* log;
  const CopySeams* seams;
  PlatformLock* seamLock;  ///< taken around the seams' hooks where threads share them
  PartialNameGuard guard;
  /// Written copies wait open for one sync of their file system with others; else
  /// each is synced by itself (or not at all: noSync) and placed at once.
  int batching;
  CopySync* sync;  ///< the sync thread where workers write; null otherwise
  std::atomic<long long> placed;
};

/// Ends the job with result, failing at step for reason failure.
inline void failJob(CopyJob* job, int result, int step, int failure) {
  job->notes.result = result;
  job->notes.failedStep = step;
  job->notes.failure = failure;
}

/// Notes that the copy met event (a CopyEvent), in the order met.
inline void noteCopyEvent(CopyJob* job, int event) {
  if (job->notes.eventCount < mostCopyEvents)
    job->notes.events[job->notes.eventCount++] = static_cast<unsigned char>(event);
}

// ---- job.cpp: writing one copy ------------------------------------------------

/// On the deciding thread, in the order of the copies: makes the copy's folder where
/// it is missing (unless its source cannot be read), so that the line that tells so
/// goes with the first copy into it, whichever worker writes which copy first.
/// folder and sourceFolder are scratch paths of pathBufferSize bytes.
void makeMissingFolder(TreeFolders* folders, TreeFolders* sourceFolders, char* folder,
                       char* sourceFolder, CopyJob* job);
/// True when the time a file system kept is the time it was given, within the
/// coarsest step of any clock (coarse clocks keep only what they can hold).
int copyTimeKept(FileTime given, FileTime kept);

/// Writes the copy of job: source opened, folder made, its own file made, the bytes
/// transferred, the time set; then placed at once or held for its batch's sync
/// (holdForSync). Fills job->notes; returns 1 when the job waits in the worker's
/// batch, 0 when it is finished.
int writeCopy(CopyWorker* worker, CopyShared* shared, CopyJob* job);
/// The reason the process may not open one more file right now: 1 when failure says
/// so and the worker gave back the files its batch held (placing them), so that the
/// step may be tried again.
int freeWorkerFiles(CopyWorker* worker, CopyShared* shared, int failure);

// ---- read_ahead.cpp: the sources of the next copies, opened and asked for --------

/// Readies a window of at most files sources and byteLimit bytes; 1 when memory ran
/// out. files 0 makes a window that holds nothing.
int openReadAhead(ReadAheadWindow* ahead, int files, uint64_t byteLimit);
/// Closes what the window still holds, on the thread that opened it.
void dropReadAhead(ReadAheadWindow* ahead);
/// Closes what the window still holds and frees it.
void closeReadAhead(ReadAheadWindow* ahead);
/// Opens the source of job, reached through sources, and asks for its first bytes,
/// unless the window is full. Returns a ReadAheadResult.
int readAheadSource(ReadAheadWindow* ahead, TreeFolders* sources, const CopyJob* job);
/// Hands the worker the source the window holds for job (sourceReady), closing any
/// held for copies before it. A source that lost its name meanwhile is closed, not
/// handed: the copy opens its path again.
void takeReadAhead(CopyWorker* worker, const CopyJob* job);

// ---- place.cpp: the one way a copy ends ------------------------------------------

/// Ends a written copy: unless syncFailure is -1, its data was synced with that
/// result (0 when on disk); otherwise it is synced now unless noSync. Then closed,
/// stamped where that waits for the close, and moved into the destination's place;
/// on any failure the partial file is removed. Fills job->notes.
void finishCopy(CopyWorker* worker, CopyShared* shared, CopyJob* job, int syncFailure);
/// Readies the destination name of a copy: a link there is removed (the copy replaces
/// it, never writes through it), an empty folder gives way, a file may be replaced.
/// Returns a ReplaceableResult: replaceableRefused (failure telling why) where what
/// stands there may not be replaced (a read-only file, a folder holding anything).
int makeWay(TreeFolders* folders, CopyJob* job, int* failure);
/// Removes an incomplete copy or, where it cannot be removed, gives it the oldest time
/// there is; returns the index of its outcome in discardOutcomes.
int discardCopy(TreeFolders* folders, const char* writePath);
/// "was removed", and the two other outcomes of discardCopy.
extern const char* const discardOutcomes[3];

// ---- engine.cpp -----------------------------------------------------------------

/// Tells the deciding thread that job is finished: written, placed (or failed) and
/// its notes complete.
void copyJobFinished(CopyEngine* engine, CopyJob* job);

// ---- batch.cpp: durability of many copies at once ------------------------------

/// Starts the thread that syncs the destination's file system for the workers, one
/// sync for every copy written before it began. workersLock is the one idle workers
/// sleep on, workersAsleep their count: the end of each sync wakes them, for the
/// copies they hold. Null when no thread could be started (the workers then sync
/// their copies one by one).
CopySync* startCopySync(const char* destinationRoot, PlatformLock* workersLock,
                        std::atomic<int>* workersAsleep);
/// Stops the sync thread and frees it; every worker has placed its copies by then.
void stopCopySync(CopySync* sync);
/// Asks for a sync at once: no more copies are being written that it could wait for.
/// Nothing when sync is null.
void hurryCopySync(CopySync* sync);

/// True when a finished sync covers the oldest copy the worker holds: it has one to
/// place now.
bool heldCopiesSynced(const CopyWorker* worker, const CopyShared* shared);
/// Holds a written copy, open, until a sync covers it; places the worker's batch
/// when it is full.
void holdForSync(CopyWorker* worker, CopyShared* shared, CopyJob* job);
/// Places the copies the worker holds that a finished sync covers; with all set,
/// first has every copy it holds synced, waiting as long as that takes. Returns the
/// jobs it finished.
int placeSyncedCopies(CopyWorker* worker, CopyShared* shared, int all);
