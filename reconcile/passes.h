// What the files of reconcile/ share: the record of one run of the passes, which
// holds everything they decide, count and keep. Nothing outside reconcile/ includes
// this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "copy/copy.h"
#include "platform/folders.h"
#include "reconcile/destination_clock.h"
#include "reconcile/destination_links.h"
#include "reconcile/exact.h"
#include "reconcile/open_log_guard.h"
#include "reconcile/reconcile.h"
#include "reconcile/twin_index.h"

struct RunFolders;
struct RunLog;
struct RunSettings;

/// What one run of the passes has done and met so far: what it changed as it
/// changed it (a preview: what it would change), what failed or was gone.
struct PassCounts {
  int32_t updates;    ///< copies in place over an older twin
  int32_t copies;     ///< copies in place where the destination had none
  int32_t deletions;  ///< destination files gone
  /// Files moved into the backup folder: deleted and replaced ones alike.
  int32_t moved;
  int32_t failures;
  /// Source files gone since the listing: no failure.
  int32_t vanished;
  /// Updates, copies and deletions decided, whatever became of them.
  int32_t decided;
  int32_t deletionsTried;  ///< for the test seam
  int32_t interrupted;
  int32_t outOfMemory;  ///< the copies ran out of memory: the run ends
  int32_t tooFewFiles;  ///< too few files may be open for any copy: stopped before any change
  /// Destination files kept because they are newer than their source twins.
  int32_t keptNewer;
  /// Updates that put back a version older than its twin (an exact mirror's).
  int32_t olderUpdates;
  /// Listed sizes of the copies written (with -p: decided), for the summary.
  int64_t bytesCopied;
  /// Twins whose metadata alone was changed; entries given without a kind of it.
  int32_t metadataChanged;
  int32_t metadataLeftOut;
};

/// The files that the updates and copies wrote or would write, and the open log:
/// none of them may be deleted by the same run.
struct KeptFiles {
  FileIdentity* identities;
  size_t count;
  size_t capacity;
  /// Clear once no deletion can follow: nothing needs keeping then.
  int needed;
};

/// One run of the passes: the settings and log they work with, the tree as they
/// change it, the copies under way, the clocks of the destination's file systems,
/// what they counted and kept, and the test seams.
struct Passes {
  const RunSettings* settings;
  const RunFolders* runFolders;  ///< the folders the run holds, which every change starts from
  RunLog* log;
  const ReconcileSeams* seams;
  const CopySeams* copySeams;
  TreeFolders folders;
  /// The deciding thread's way into the source, for the metadata it reads; opened
  /// when first needed (sourcesOpen).
  TreeFolders sources;
  int sourcesOpen;
  /// The run's backup folder (--backup-dir), where deletions go; open only then.
  TreeFolders backup;
  char* backupPath;  ///< pathBufferSize bytes: where the file at hand goes
  CopyEngine* copies;
  DestinationClocks clocks;
  OpenLog openLog;
  LinkCheck linkCheck;
  int roomChecked;  ///< the files the copies need were counted, before the first
  PassCounts counts;
  KeptFiles kept;
  ExactState exact;
};

// ---- passes.cpp: the updates and the copies -----------------------------------

/// Ctrl-C or a termination request ends the passes between two actions, and so does
/// a lack of memory or of files.
bool stopping(Passes* passes);
/// Joins root and relativePath into full (pathBufferSize bytes); 0 when it fits.
/// One that does not fit is the failure of the action it was for (kind, a JsonAction
/// kind): told and counted.
int joinFullPath(Passes* passes, char* full, const char* root, const char* relativePath,
                 const char* kind);
/// Tells, with --json, an action of kind on relativePath (below the destination's
/// root) that a preview reports or that failed before it was tried, for reason.
void tellDecided(const Passes* passes, const char* kind, const char* relativePath, int64_t size,
                 const char* outcome, const char* reason = nullptr);
/// Hands the copy (update set: the update) of source to the copy room; a preview only
/// keeps the file it would write from the deletions.
void copyEntry(Passes* passes, const FileEntry& source, const char* sourcePath,
               const char* destinationPath, int update);
/// Decides the update of source's twin at destinationPath: told (word says why: "Newer",
/// "Older", "Changed"), logged, its old file moved with --backup-dir, handed to the
/// copies and counted.
void decideUpdate(Passes* passes, const FileEntry& source, const char* sourcePath,
                  const char* destinationPath, const char* word);
/// The updates: every source entry with a destination twin that is older.
void updatePass(Passes* passes, const TwinIndex& index);
/// The copies: every source entry without a twin.
void copyPass(Passes* passes, int destinationListingComplete);

// ---- deletions.cpp ---------------------------------------------------------------

/// The deletions: every destination entry no source entry claimed.
void deletePass(Passes* passes);
/// Deletes the destination entry at destinationPath, or with --backup-dir moves it
/// there: told, logged and counted as the deletions are.
void removeDestinationEntry(Passes* passes, const FileEntry& entry, const char* destinationPath);
/// Keeps the file of identity from the deletions.
void keepIdentity(Passes* passes, const FileIdentity& identity);
/// Keeps the file at path (or, failing that, nothing) from the deletions, while
/// any deletion may follow.
void keepFile(Passes* passes, const char* path);
/// A copy written (or failed) and reported, in the order the copies were decided.
void countFinishedCopy(void* context, const CopyOutcome* outcome);
/// Tells the progress line what the copies will be, before any pass ran.
void planCopies(Passes* passes, const TwinIndex& index);
