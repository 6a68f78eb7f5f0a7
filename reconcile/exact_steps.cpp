// One entry's step in an exact mirror: a link made, a folder made, an entry replaced.
// Each is told and logged as copies and updates are, before it is tried.
#include "reconcile/exact_steps.h"

#include <cstring>

#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/paths.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/passes.h"

void failStep(Passes* passes, const char* kind, const char* relativePath, const char* action,
              const char* path, int code) {
  reportFailure(action, path, nullptr, code);
  ++passes->counts.failures;
  JsonAction told = {kind, relativePath, jsonFailed};
  told.failedTo = action;
  told.failure = code;
  jsonAction(*passes->settings, told);
}

namespace {
// Tells and logs a link or a folder's copy (d < 0) or update, as a file's is told.
void tellPlaced(Passes* passes, const FileEntry& source, int update) {
  const RunSettings& settings = *passes->settings;
  if (settings.verbose && update)
    consolePrintf("Newer file found %s, updating!\n", source.relativePath);
  else if (settings.verbose)
    consolePrintf("We need to copy %s%s\n", settings.sourceRoot, source.relativePath);
  logAction(passes->log, update ? "Updated" : "Got", source.relativePath, &source.size);
  ++passes->counts.decided;
}

// Where the twin d stands, with --backup-dir: moved to the backup folder first, as an
// update's old file is. 0 when the place is ready.
int moveTwinAway(Passes* passes, const FileEntry& destination, const char* destinationPath) {
  const RunSettings& settings = *passes->settings;
  if (!settings.backupRunFolder[0] || settings.previewOnly) return 0;
  if (joinFullPath(passes, passes->backupPath, settings.backupRunFolder, destination.relativePath,
                   jsonMove))
    return 1;
  if (settings.verbose) consolePrintf("Moving [%s] to [%s]\n", destinationPath, passes->backupPath);
  logMoved(passes->log, destination.relativePath, passes->backupPath);
  int moved =
      moveToBackupIn(&passes->folders, destinationPath, &passes->backup, passes->backupPath);
  if (moved == folderRefused) {
    failStep(passes, jsonMove, destination.relativePath, "move to the backup folder",
             destinationPath, lastFailureCode());
    return 1;
  }
  if (moved == folderDone) ++passes->counts.moved;
  return 0;
}
}  // namespace

void placeLink(Passes* passes, int32_t s, int32_t d) {
  const RunSettings& settings = *passes->settings;
  const FileEntry& source = sourceTable.entries[s];
  const char* kind = jsonLink;
  // Written under the twin's spelling, as an update of a file is on POSIX.
  const char* writtenAs =
      d >= 0 && !platformIsWindows ? destinationTable.entries[d].relativePath : source.relativePath;
  char destinationPath[pathBufferSize];
  char folder[pathBufferSize];
  if (joinFullPath(passes, destinationPath, settings.destinationRoot, writtenAs, kind)) return;
  // The run's own log is never replaced by the mirror.
  if (targetsOpenLog(passes->openLog, settings.verbose, destinationPath, "replace")) {
    failStep(passes, kind, writtenAs, "replace", destinationPath, failureIsOpenLog);
    return;
  }
  tellPlaced(passes, source, d >= 0);
  JsonAction told = {kind, writtenAs, settings.previewOnly ? jsonPreviewed : jsonDone,
                     static_cast<int64_t>(source.size)};
  if (settings.previewOnly) {
    ++(d >= 0 ? passes->counts.updates : passes->counts.copies);
    jsonAction(settings, told);
    return;
  }
  if (d >= 0 && moveTwinAway(passes, destinationTable.entries[d], destinationPath)) return;
  if (d < 0 && folderOfPath(destinationPath, folder) == 0 &&
      makeFoldersIn(&passes->folders, folder, nullptr) != folderDone) {
    failStep(passes, kind, writtenAs, "make the folder of", destinationPath, lastFailureCode());
    return;
  }
  if (makeLinkIn(&passes->folders, destinationPath, linkTargetOf(source), source.lastWriteTime,
                 d >= 0) != folderDone) {
    int code = lastFailureCode();
    // Told alone, and once more in all at the end: a stick that takes no links.
    passes->exact.linksRefused += isNoLinkFailure(code) != 0;
    failStep(passes, kind, writtenAs, "make the link", destinationPath, code);
    return;
  }
  ++(d >= 0 ? passes->counts.updates : passes->counts.copies);
  jsonAction(settings, told);
  giveLinkMetadata(passes, s, destinationPath, writtenAs);
}

void makeFolder(Passes* passes, int32_t s) {
  const RunSettings& settings = *passes->settings;
  const FileEntry& source = sourceTable.entries[s];
  char destinationPath[pathBufferSize];
  char sourcePath[pathBufferSize];
  if (joinFullPath(passes, destinationPath, settings.destinationRoot, source.relativePath,
                   jsonCopy) ||
      joinFullPath(passes, sourcePath, settings.sourceRoot, source.relativePath, jsonCopy))
    return;
  // The copies into it may have made it already.
  if (!settings.previewOnly && findFolderIn(&passes->folders, destinationPath) == folderDone)
    return;
  if (settings.verbose) consolePrintf("Creating folder [%s]\n", destinationPath);
  ++passes->counts.decided;
  passes->exact.changed = 1;
  JsonAction told = {jsonMkdir, source.relativePath, jsonPreviewed};
  if (!settings.previewOnly) {
    if (makeFoldersIn(&passes->folders, destinationPath, sourcePath) != folderDone) {
      failStep(passes, jsonMkdir, source.relativePath, "make the folder", destinationPath,
               lastFailureCode());
      return;
    }
    told.outcome = jsonDone;
  }
  jsonAction(settings, told);
}

void replaceByFolder(Passes* passes, int32_t s, int32_t d) {
  const RunSettings& settings = *passes->settings;
  const FileEntry& destination = destinationTable.entries[d];
  char destinationPath[pathBufferSize];
  if (joinFullPath(passes, destinationPath, settings.destinationRoot, destination.relativePath,
                   jsonDelete))
    return;
  int32_t failures = passes->counts.failures;
  removeDestinationEntry(passes, destination, destinationPath);
  if (passes->counts.failures == failures) makeFolder(passes, s);
}

void updateOverLink(Passes* passes, int32_t s, int32_t d) {
  const RunSettings& settings = *passes->settings;
  const FileEntry& source = sourceTable.entries[s];
  const char* writtenAs =
      platformIsWindows ? source.relativePath : destinationTable.entries[d].relativePath;
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  if (joinFullPath(passes, sourcePath, settings.sourceRoot, source.relativePath, jsonUpdate) ||
      joinFullPath(passes, destinationPath, settings.destinationRoot, writtenAs, jsonUpdate))
    return;
  noteNameState(passes, s, nameRewritten);
  decideUpdate(passes, source, sourcePath, destinationPath, "Changed");
}
