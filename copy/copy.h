// The copy room: everything between the decision to copy one file and that copy in
// its place, durable. The reconciliation begins a run of copies, submits each one in
// the order it decides them, and ends the run; workers write them, and each copy's
// lines come out on the deciding thread, in the order submitted, exactly as copies
// written one after another would print them.
#pragma once

#include <cstdint>

#include "platform/folders.h"
#include "platform/platform.h"

/// What became of one copy. Every result but copyDone, copySourceVanished and
/// copyInterrupted is a failure the run counts.
enum CopyResult {
  copyDone = 0,              ///< copied, stamped and in place (or, without a sync, written)
  copySourceUnreadable = 2,  ///< the source could not be read; nothing touched
  copyCannotCreate = 3,      ///< the copy's file could not be made, or what stands at the
                             ///< destination may not be replaced; nothing touched
  copyTransferFailed = 4,    ///< reading, writing or syncing failed; the copy was discarded
  copyTimeNotSet = 5,        ///< copied and in place, but the time could not be set
  copyInterrupted = 6,       ///< stopped by an interruption; the copy was discarded
  copyOutOfMemory = 7,       ///< memory ran out; the copy was discarded and the run ends
  copySourceVanished = 8,    ///< the source, or a folder on its way, is gone since the
                             ///< listing; nothing touched
  copyMetadataNotSet = 9,    ///< copied and in place, but a kind of its metadata could not
                             ///< be set (one the destination holds and the process may set)
};

/// One copy as the reconciliation hands it in.
struct CopyRequest {
  const char* destinationPath;
  const char* sourcePath;
  FileTime time;       ///< the source's last-write time, given to the copy
  int64_t listedSize;  ///< the source's size as listed, for the progress line
  int replacesFile;    ///< an update: the listing found a file at destinationPath
  int wantsIdentity;   ///< the outcome is to tell the identity of the copy in place
  /// The source's metadata as listed, and the kinds of it the copy takes (MetadataPart
  /// bits of platform/metadata.h): 0 where the run keeps none.
  EntryMetadata metadata = EntryMetadata{};
  int metadataParts = 0;
};

/// What the reconciliation learns of one copy, in the order the copies were submitted.
struct CopyOutcome {
  const CopyRequest* request;  ///< paths as submitted; valid during the call only
  int result;                  ///< a CopyResult
  int identityKnown;           ///< identity holds the file now at destinationPath
  FileIdentity identity;
  /// With --backup-dir: the file an update replaces went to the backup folder (also
  /// where the copy then failed to take its name).
  int replacedMoved;
  /// Kinds of metadata (MetadataPart bits) the copy was given without: those the
  /// destination cannot hold, and those the process may not set.
  int metadataNotHeld = 0;
  int metadataNotAllowed = 0;
};

/// Test seams: what a test hands in to make the copies meet faults. Never set in the
/// product; none changes a policy (batch sizes, hand-over) of what is tested.
struct CopySeams {
  /// When not -1, writes fail once this many bytes of a copy were written, as on a
  /// full disk.
  long long writeFaultAfter;
  /// When not -1, the kernel copies at most this many bytes of a copy and the block
  /// loop the rest; 0 makes every copy take the block loop.
  long long kernelFallbackAt;
  /// When set, called after each block (or kernel step) of a copy with the offset
  /// reached, one call at a time whatever the thread.
  void (*blockDone)(void* context, long long offset);
  /// When set, no time is given to copies, as on a file system that keeps the time of
  /// writing; what was kept is still read back.
  int timesIgnored;
  /// When set, called once each copy took its name, with the count placed so far.
  void (*placed)(void* context, long long placedSoFar);
  /// When not -1, the sync of the copy at this position (from 0) among those synced
  /// is taken as failed, as on a disk that fails to write it.
  int syncFaultAt;
  void* context;
  /// When set, receives the number of workers the run started (0: the copies were
  /// written on the deciding thread).
  int* workersStarted;
};
/// Seams that change nothing.
constexpr CopySeams noCopySeams = {-1, -1, nullptr, 0, nullptr, -1, nullptr, nullptr};

/// Receives each copy's outcome on the deciding thread, in submission order.
typedef void (*CopyFinished)(void* context, const CopyOutcome* outcome);

struct CopyEngine;
struct RunFolders;
struct RunLog;
struct RunSettings;

/// Begins a run's copies into the destination tree that folders, the calling thread's
/// own way into it, reaches (held by the caller until copyEnd), as settings ask (the
/// workers, the syncs, -v, the backup folder). Every thread that writes copies reads
/// the source and changes the destination and the backup folder only through ways
/// of its own into the trees held in runFolders. A preview makes no copy: it begins
/// none. From here to copyEnd, the calling thread's console and error text is held
/// and comes out in turn with the copies' lines; its log lines go to log at once.
/// settings, runFolders and log live until copyEnd. seams may be null. Null when
/// memory ran out.
CopyEngine* copyBegin(const RunSettings* settings, const RunFolders* runFolders, RunLog* log,
                      TreeFolders* folders, const CopySeams* seams, CopyFinished finished,
                      void* context);
/// Hands in one copy; the request is copied. Text the caller prints or logs after
/// this call comes out after this copy's lines.
void copySubmit(CopyEngine* engine, const CopyRequest* request);
/// Writes, places and reports every copy handed in, stops the workers and frees the
/// engine. Returns 1 when memory ran out on the way (the run must end), else 0.
int copyEnd(CopyEngine* engine);
/// The files the process may open at once at the least for any copy to be made, and,
/// through freeFiles, how many it may open now; checked before the first copy.
int fewestFilesForCopies(int* freeFiles);

/// The most workers the default (copyWorkers 0) starts: one per processor, at most
/// this many.
constexpr int mostDefaultWorkers = 4;
