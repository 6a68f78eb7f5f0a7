// The reconciliation passes: updates, copies, deletions.
#pragma once

#include <cstdint>

struct CopySeams;
struct RunFolders;
struct RunLog;
struct RunSettings;

/// The moments at which ReconcileSeams::passStage is called.
enum PassStage {
  passUpdates = 0,    ///< both listings are over; no change was made yet
  passDeletions = 1,  ///< every copy is in place; no deletion was made yet
};

/// Test seams of the passes: what a test hands in to watch them or to make their
/// destination look like another file system. Null in the program.
struct ReconcileSeams {
  /// Called at each PassStage, so that a test can change the destination between
  /// the listing and the changes.
  void (*passStage)(void* context, int stage);
  /// Called after each deletion was tried (not with -p), with the number tried so far.
  void (*deletionTried)(void* context, long long deletionsTried);
  /// Files below this folder keep times as FAT does (2 s steps, rounding down, local
  /// time), and its file system counts as FAT.
  const char* fatClockFolder;
  void* context;
};
/// Seams that change nothing.
constexpr ReconcileSeams noReconcileSeams = {nullptr, nullptr, nullptr, nullptr};

/// What the passes of a run did and met, for the summary at its end: each action
/// counted as what became of it (with -p: as what it would do).
struct PassSummary {
  int32_t copies;     ///< copies in place
  int32_t updates;    ///< updates in place
  int32_t deletions;  ///< files deleted
  int32_t keptNewer;  ///< destination files kept as newer than their source twins
  int32_t failures;
  int64_t bytesCopied;  ///< listed sizes of the copies and updates written (with -p: decided)
  /// Set by the run where filters were given: the folders they left out of either
  /// listing (each once), and the source files they left out where the listing met
  /// them (not those inside a folder left out).
  uint8_t filtered = 0;
  int32_t foldersLeftOut = 0;
  int32_t filesLeftOut = 0;
  /// Files moved into the backup folder (--backup-dir), deleted and replaced alike.
  int32_t moved = 0;
  /// Source files gone since the listing, which are no failure.
  int32_t vanished = 0;
  /// What the source's listing left out for its kind: links it did not follow (to
  /// folders, or to nothing), and entries that are no file, folder nor link.
  int32_t linksLeftOut = 0;
  int32_t othersLeftOut = 0;
  /// Updates that put back a version older than its twin (an exact mirror's).
  int32_t olderUpdates = 0;
  /// Twins whose metadata alone was changed (an exact mirror's), and entries given
  /// without a kind of their metadata that the destination or the process could not
  /// keep.
  int32_t metadataChanged = 0;
  int32_t metadataLeftOut = 0;
};

/// What a run hands to its passes.
struct PassInput {
  const RunSettings* settings;
  const RunFolders* folders;  ///< the folders the run holds: every change is reached from them
  RunLog* log;
  int sourceListingComplete;
  int destinationListingComplete;
  const ReconcileSeams* seams;  ///< may be null
  const CopySeams* copySeams;   ///< may be null
};

/// Compares destinationTable with sourceTable and updates, copies and deletes as
/// they call for. Deletions are left out entirely unless the source listing is
/// complete. Returns the run's exit status (an ExitStatus, or the interrupted one);
/// summary receives the counts once the passes ran (it is left alone when they did
/// not start).
int reconcileTables(const PassInput& input, PassSummary* summary);
