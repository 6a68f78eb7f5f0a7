// The deletions, the last pass: every destination file that no source file claimed,
// unless an update or copy of this run wrote it, deleted or, with --backup-dir, moved
// into the backup folder. Each is told and logged before it is tried, and counted as
// what became of it. The files the copies wrote are kept from it as each copy is
// reported, and counted there.
#include <algorithm>
#include <cstdlib>

#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/passes.h"

namespace {
bool identityBefore(const FileIdentity& a, const FileIdentity& b) {
  return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
}

int isKept(Passes* passes, const char* path) {
  const KeptFiles& kept = passes->kept;
  FileIdentity identity;
  if (kept.count == 0 || fileIdentityIn(&passes->folders, path, &identity)) return 0;
  return std::binary_search(kept.identities, kept.identities + kept.count, identity,
                            identityBefore);
}

// After a deletion was tried (not in a preview), the test seam hears of it.
void deletionTried(Passes* passes) {
  ++passes->counts.decided;
  ++passes->counts.deletionsTried;
  if (!passes->settings->previewOnly && passes->seams->deletionTried)
    passes->seams->deletionTried(passes->seams->context, passes->counts.deletionsTried);
}

// A deletion with --backup-dir: the file is moved into the backup folder instead. One
// that cannot be moved stays where it is, and the run tells it failed.
void moveAway(Passes* passes, const FileEntry& entry, const char* destinationPath) {
  const RunSettings& settings = *passes->settings;
  const char* relativePath = entry.relativePath;
  if (joinFullPath(passes, passes->backupPath, settings.backupRunFolder, relativePath, jsonMove))
    return;
  if (settings.verbose) consolePrintf("Moving [%s] to [%s]\n", destinationPath, passes->backupPath);
  logMoved(passes->log, relativePath, passes->backupPath);
  int moved = settings.previewOnly ? folderDone
                                   : moveToBackupIn(&passes->folders, destinationPath,
                                                    &passes->backup, passes->backupPath);
  JsonAction told = {jsonMove, relativePath, jsonDone, static_cast<int64_t>(entry.size)};
  told.to = passes->backupPath;
  if (moved == folderRefused) {
    int code = lastFailureCode();
    if (settings.verbose)
      consolePrintf("Failed to move [%s] to [%s]\n", destinationPath, passes->backupPath);
    reportFailure("move to the backup folder", destinationPath, nullptr, code);
    ++passes->counts.failures;
    told.outcome = jsonFailed;
    told.failedTo = "move to the backup folder";
    told.failure = code;
  } else if (moved == folderDone) {
    ++passes->counts.moved;
    if (settings.previewOnly) told.outcome = jsonPreviewed;
  } else {
    // Gone before its move: the backup folder does not hold it, and nothing failed.
    ++passes->counts.vanished;
    told.outcome = jsonVanished;
  }
  jsonAction(settings, told);
  deletionTried(passes);
}

// A file already gone needs no deletion, and counts as deleted: for instance the
// partial file of a killed run, which this run's copy of the same file has taken in
// place.
void deleteAway(Passes* passes, const FileEntry& entry, const char* destinationPath) {
  const RunSettings& settings = *passes->settings;
  const char* relativePath = entry.relativePath;
  JsonAction told = {jsonDelete, relativePath, settings.previewOnly ? jsonPreviewed : jsonDone,
                     static_cast<int64_t>(entry.size)};
  if (settings.verbose)
    consolePrintf("We need to delete %s%s\n", settings.destinationRoot, relativePath);
  logAction(passes->log, "Deleted", relativePath, nullptr);
  if (!settings.previewOnly && deleteFileIn(&passes->folders, destinationPath) == folderRefused) {
    // The reason is taken before anything else is called: printing may change it.
    int code = lastFailureCode();
    if (settings.verbose) consolePrintf("Failed to delete [%s]\n", destinationPath);
    reportFailure("delete", destinationPath, nullptr, code);
    ++passes->counts.failures;
    told.outcome = jsonFailed;
    told.failedTo = "delete";
    told.failure = code;
  } else {
    ++passes->counts.deletions;
  }
  jsonAction(settings, told);
  deletionTried(passes);
}
}  // namespace

void removeDestinationEntry(Passes* passes, const FileEntry& entry, const char* destinationPath) {
  if (passes->settings->backupRunFolder[0])
    moveAway(passes, entry, destinationPath);
  else
    deleteAway(passes, entry, destinationPath);
}

void keepFile(Passes* passes, const char* path) {
  FileIdentity identity;
  if (passes->kept.needed && fileIdentityIn(&passes->folders, path, &identity) == 0)
    keepIdentity(passes, identity);
}

void keepIdentity(Passes* passes, const FileIdentity& identity) {
  KeptFiles& kept = passes->kept;
  if (kept.count == kept.capacity) {
    size_t capacity = kept.capacity + 256;
    FileIdentity* grown =
        static_cast<FileIdentity*>(realloc(kept.identities, sizeof(FileIdentity) * capacity));
    if (!grown) return;
    kept.identities = grown;
    kept.capacity = capacity;
  }
  kept.identities[kept.count++] = identity;
}

// A copy counts as what became of it: copied (or updated) only once in place with
// its time, vanished where its source is gone, failed otherwise. One stopped by an
// interruption is neither: the run tells it was stopped. A copy whose time could not
// be set stays in place, but counts as failed: it is no mirror of its source. The
// file now at the copy's destination is kept from the deletions: the copy's own,
// or, where it failed, the one it was to replace.
void countFinishedCopy(void* context, const CopyOutcome* outcome) {
  Passes* passes = static_cast<Passes*>(context);
  PassCounts& counts = passes->counts;
  int result = outcome->result;
  if (result == copyDone) {
    counts.bytesCopied += outcome->request->listedSize;
    ++(outcome->request->replacesFile ? counts.updates : counts.copies);
  }
  if (outcome->replacedMoved) ++counts.moved;
  noteMetadataOutcome(passes, outcome->metadataNotHeld, outcome->metadataNotAllowed);
  if (result == copyInterrupted) counts.interrupted = 1;
  if (result == copyOutOfMemory) counts.outOfMemory = 1;
  if (result == copySourceVanished) ++counts.vanished;
  if (result != copyDone && result != copySourceVanished && result != copyInterrupted)
    ++counts.failures;
  if (!passes->kept.needed) return;
  if (outcome->identityKnown)
    keepIdentity(passes, outcome->identity);
  else
    keepFile(passes, outcome->request->destinationPath);
}

void deletePass(Passes* passes) {
  const RunSettings& settings = *passes->settings;
  KeptFiles& kept = passes->kept;
  char destinationPath[pathBufferSize];
  std::sort(kept.identities, kept.identities + kept.count, identityBefore);
  for (int32_t d = 0; d < destinationTable.count && !stopping(passes); ++d) {
    const FileEntry& destination = destinationTable.entries[d];
    const char* kind = settings.backupRunFolder[0] ? jsonMove : jsonDelete;
    // Folders go after what they hold, deepest first (finishTree).
    if (destination.handled || destination.kind == entryFolder ||
        joinFullPath(passes, destinationPath, settings.destinationRoot, destination.relativePath,
                     kind) ||
        isKept(passes, destinationPath))
      continue;
    removeDestinationEntry(passes, destination, destinationPath);
  }
}
