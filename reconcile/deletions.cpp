// The deletions, the last pass: every destination file that no source file claimed,
// unless an update or copy of this run wrote it, deleted or, with --backup-dir, moved
// into the backup folder. Each is told and logged before it is tried, and counted.
#include <algorithm>

#include "base/failure_report.h"
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
  if (!passes->settings->previewOnly && passes->seams->deletionTried)
    passes->seams->deletionTried(passes->seams->context, passes->counts.deletions + 1);
  ++passes->counts.deletions;
}

// A deletion with --backup-dir: the file is moved into the backup folder instead. One
// that cannot be moved stays where it is, and the run tells it failed.
void moveAway(Passes* passes, const char* destinationPath, const char* relativePath) {
  const RunSettings& settings = *passes->settings;
  if (joinFullPath(passes, passes->backupPath, settings.backupRunFolder, relativePath)) return;
  if (settings.verbose) consolePrintf("Moving [%s] to [%s]\n", destinationPath, passes->backupPath);
  logMoved(passes->log, relativePath, passes->backupPath);
  if (!settings.previewOnly && moveToBackupIn(&passes->folders, destinationPath, &passes->backup,
                                              passes->backupPath) == folderRefused) {
    int code = lastFailureCode();
    if (settings.verbose)
      consolePrintf("Failed to move [%s] to [%s]\n", destinationPath, passes->backupPath);
    reportFailure("move to the backup folder", destinationPath, nullptr, code);
    ++passes->counts.failures;
  }
  deletionTried(passes);
}

// A file already gone needs no deletion: for instance the partial file of a killed
// run, which this run's copy of the same file has taken in place.
void deleteAway(Passes* passes, const char* destinationPath, const char* relativePath) {
  const RunSettings& settings = *passes->settings;
  if (settings.verbose)
    consolePrintf("We need to delete %s%s\n", settings.destinationRoot, relativePath);
  logAction(passes->log, "Deleted", relativePath, nullptr);
  if (!settings.previewOnly && deleteFileIn(&passes->folders, destinationPath) == folderRefused) {
    // The reason is taken before anything else is called: printing may change it.
    int code = lastFailureCode();
    if (settings.verbose) consolePrintf("Failed to delete [%s]\n", destinationPath);
    reportFailure("delete", destinationPath, nullptr, code);
    ++passes->counts.failures;
  }
  deletionTried(passes);
}
}  // namespace

void deletePass(Passes* passes) {
  const RunSettings& settings = *passes->settings;
  KeptFiles& kept = passes->kept;
  char destinationPath[pathBufferSize];
  std::sort(kept.identities, kept.identities + kept.count, identityBefore);
  for (int32_t d = 0; d < destinationTable.count && !stopping(passes); ++d) {
    const FileEntry& destination = destinationTable.entries[d];
    if (destination.handled ||
        joinFullPath(passes, destinationPath, settings.destinationRoot, destination.relativePath) ||
        isKept(passes, destinationPath))
      continue;
    if (settings.backupRunFolder[0])
      moveAway(passes, destinationPath, destination.relativePath);
    else
      deleteAway(passes, destinationPath, destination.relativePath);
  }
}
