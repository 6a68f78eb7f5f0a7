// The updates and the copies, in their order. Each decides its actions one entry at a
// time, tells and logs each before it is tried, and counts it.
#include "reconcile/passes.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/backup_paths.h"
#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/paths.h"
#include "base/progress.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/destination_names.h"

namespace {
// An update or copy onto the log is not done, and counts as failed: the destination
// then differs from the source.
int isOpenLog(Passes* passes, const char* path, const char* action, const char* kind) {
  if (!targetsOpenLog(passes->openLog, passes->settings->verbose, path, action)) return 0;
  ++passes->counts.failures;
  JsonAction refused = {kind, path + passes->settings->destinationRootLength, jsonFailed};
  refused.failedTo = action;
  refused.failure = failureIsOpenLog;
  jsonAction(*passes->settings, refused);
  return 1;
}

// Before the first copy, which is the run's first change: a process that may not
// open the files any copy needs stops here, having changed nothing, and says why.
bool roomForCopies(Passes* passes) {
  if (passes->roomChecked || passes->settings->previewOnly) return true;
  passes->roomChecked = 1;
  int free = 0;
  int fewest = fewestFilesForCopies(&free);
  if (free >= fewest) return true;
  consolePrintf(
      "Too few files may be open at once (%d free, at least %d needed): raise the "
      "limit (ulimit -n) !\n",
      free, fewest);
  passes->counts.tooFewFiles = 1;
  return false;
}

}  // namespace

// Copies one source entry over its destination path, as an update or a copy. Links
// that stand where its folders should be are removed first for a copy (the listing
// never walks them); an update's folders were listed as folders, so a link there now
// was put there during the run, and the update fails on it. A preview only keeps
// the file it would write from the deletions.
void copyEntry(Passes* passes, const FileEntry& source, const char* sourcePath,
               const char* destinationPath, int update) {
  const RunSettings& settings = *passes->settings;
  const char* relative = destinationPath + settings.destinationRootLength;
  const char* kind = update ? jsonUpdate : jsonCopy;
  if (settings.previewOnly) {
    keepFile(passes, destinationPath);
    tellDecided(passes, kind, relative, static_cast<int64_t>(source.size), jsonPreviewed);
    return;
  }
  if (!update &&
      clearFolderLinks(&passes->folders, &passes->linkCheck, settings.verbose, destinationPath)) {
    ++passes->counts.failures;
    tellDecided(passes, kind, relative, static_cast<int64_t>(source.size), jsonFailed,
                "a link stands where its folder should be, and could not be removed");
    return;
  }
  CopyRequest request = {destinationPath,
                         sourcePath,
                         stampFor(&passes->clocks, destinationPath, source.lastWriteTime),
                         static_cast<int64_t>(source.size),
                         update,
                         passes->kept.needed};
  if (passes->exact.metadataParts) {
    request.metadata =
        entryMetadataOf(sourceTable, static_cast<int32_t>(&source - sourceTable.entries));
    request.metadataParts = passes->exact.metadataParts;
  }
  copySubmit(passes->copies, &request);
}

namespace {
// Tells where the file at destinationPath goes, with --backup-dir, before it goes: on
// the console with -v, and in the log. The copy room moves an update's old file.
void reportMove(Passes* passes, const char* destinationPath) {
  const RunSettings& settings = *passes->settings;
  if (!settings.backupRunFolder[0]) return;
  const char* relative = destinationPath + settings.destinationRootLength;
  if (backupPathFor(settings, relative, passes->backupPath)) return;
  if (settings.verbose) consolePrintf("Moving [%s] to [%s]\n", destinationPath, passes->backupPath);
  logMoved(passes->log, relative, passes->backupPath);
  // A preview counts what it would move; a run, what the copy room moved.
  if (!settings.previewOnly) return;
  ++passes->counts.moved;
  JsonAction moved = {jsonMove, relative, jsonPreviewed};
  moved.to = passes->backupPath;
  moved.replaced = 1;
  jsonAction(settings, moved);
}
}  // namespace

int joinFullPath(Passes* passes, char* full, const char* root, const char* relativePath,
                 const char* kind) {
  if (joinPath(full, root, relativePath) == 0) return 0;
  if (passes->settings->verbose)
    consolePrintf("Path too long, nothing done for [%s%s] !\n", root, relativePath);
  reportFailure("reach", root, relativePath, failurePathTooLong);
  ++passes->counts.failures;
  JsonAction refused = {kind, relativePath, jsonFailed};
  refused.failedTo = "reach";
  refused.failure = failurePathTooLong;
  jsonAction(*passes->settings, refused);
  return 1;
}

void tellDecided(const Passes* passes, const char* kind, const char* relativePath, int64_t size,
                 const char* outcome, const char* reason) {
  JsonAction action = {kind, relativePath, outcome, size};
  action.reason = reason;
  jsonAction(*passes->settings, action);
}

bool stopping(Passes* passes) {
  PassCounts& counts = passes->counts;
  if (interruptRequested()) counts.interrupted = 1;
  return counts.interrupted != 0 || counts.outOfMemory != 0 || counts.tooFewFiles != 0;
}

// What the progress line counts down: the sources with an older twin or none, as
// the listing has them before any pass ran.
void planCopies(Passes* passes, const TwinIndex& index) {
  if (!progressShown() || passes->settings->previewOnly) return;
  int64_t files = 0;
  int64_t bytes = 0;
  for (int32_t s = 0; s < sourceTable.count; ++s) {
    const FileEntry& source = sourceTable.entries[s];
    // Links and folders cost no bytes worth a progress line.
    if (source.kind != entryFile) continue;
    int32_t twin = source.clash ? -1 : findTwin(&index, &destinationTable, source);
    if (twin >= 0 && fileTimeValue(destinationTable.entries[twin].lastWriteTime) >=
                         fileTimeValue(source.lastWriteTime))
      continue;
    ++files;
    bytes += static_cast<int64_t>(source.size);
  }
  beginCopyProgress(files, bytes);
}

namespace {
// What makes an update of twins that are both files: a later source, and in an exact
// mirror an earlier one or another size too. Tells which in word ("Newer", "Older",
// "Changed").
bool outOfDate(Passes* passes, const FileEntry& source, const FileEntry& destination,
               const char* destinationPath, const char** word) {
  *word = "Newer";
  if (sourceIsNewer(&passes->clocks, source, destination, destinationPath)) return true;
  // Names of one file that the source parted are copied apart with any part that
  // keeps names of one file, older versions asked for or not.
  *word = "Changed";
  if (mustPart(passes, &source - sourceTable.entries)) return true;
  if (!(passes->settings->preserve & preserveOlder)) return false;
  *word = "Older";
  if (sourceIsOlder(&passes->clocks, source, destination, destinationPath)) return true;
  *word = "Changed";
  return source.size != destination.size;
}
}  // namespace

void decideUpdate(Passes* passes, const FileEntry& source, const char* sourcePath,
                  const char* destinationPath, const char* word) {
  const RunSettings& settings = *passes->settings;
  PassCounts& counts = passes->counts;
  if (settings.verbose) consolePrintf("%s file found %s, updating!\n", word, source.relativePath);
  logAction(passes->log, "Updated", source.relativePath, &source.size);
  reportMove(passes, destinationPath);
  copyEntry(passes, source, sourcePath, destinationPath, 1);
  ++counts.decided;
  if (word[0] == 'O') ++counts.olderUpdates;
  if (settings.previewOnly) {
    ++counts.updates;
    counts.bytesCopied += static_cast<int64_t>(source.size);
  }
}

void updatePass(Passes* passes, const TwinIndex& index) {
  const RunSettings& settings = *passes->settings;
  PassCounts& counts = passes->counts;
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  for (int32_t s = 0; s < sourceTable.count && !stopping(passes); ++s) {
    FileEntry& source = sourceTable.entries[s];
    // A clash claims no twin: the earlier name it is taken for has claimed it.
    int32_t twin = source.clash ? -1 : findTwin(&index, &destinationTable, source);
    if (twin < 0) continue;
    FileEntry& destination = destinationTable.entries[twin];
    // Other names of one file are linked after the copies; links, folders and twins
    // of two kinds are the exact mirror's.
    if (settings.preserve && (linksToLeader(passes, s, twin) || exactTwin(passes, s, twin)))
      continue;
    source.handled = destination.handled = 1;
    if (fileTimeValue(destination.lastWriteTime) > fileTimeValue(source.lastWriteTime) &&
        !(settings.preserve & preserveOlder))
      ++counts.keptNewer;
    // A copy takes the name it is written under: on POSIX the destination's own,
    // so that a twin that differs in case keeps its spelling (where case counts,
    // the two are the same bytes). Windows writes under the source's, as before.
    const char* writtenAs = platformIsWindows ? source.relativePath : destination.relativePath;
    const char* word = "Changed";
    bool equal = fileTimeValue(destination.lastWriteTime) == fileTimeValue(source.lastWriteTime) &&
                 (!settings.preserve || (source.size == destination.size && !mustPart(passes, s)));
    // Equal twins: their metadata set where it differs; copied again only where the
    // source changed since and nothing of its metadata tells why.
    if (equal && !(passes->exact.metadataParts && metadataTwin(passes, s, twin))) continue;
    // Later to the 100 ns, then later still at the resolution of the twin's file system.
    if (joinFullPath(passes, sourcePath, settings.sourceRoot, source.relativePath, jsonUpdate) ||
        joinFullPath(passes, destinationPath, settings.destinationRoot, writtenAs, jsonUpdate))
      continue;
    if (!equal && !outOfDate(passes, source, destination, destinationPath, &word)) {
      // Current at the resolution its file system keeps: its metadata may differ still.
      if (passes->exact.metadataParts && source.size == destination.size)
        metadataTwin(passes, s, twin);
      continue;
    }
    if (!roomForCopies(passes)) break;
    if (isOpenLog(passes, destinationPath, "update", jsonUpdate)) continue;
    noteNameState(passes, s, nameRewritten);
    decideUpdate(passes, source, sourcePath, destinationPath, word);
  }
}

namespace {
// Where the destination could not be listed whole, a copy may land on a file the
// listing never reached. One as new as the source or newer is kept, as a listed twin
// would be: overwriting it would lose the newer file.
int unlistedAndNotOlder(TreeFolders* folders, const char* destinationPath, FileTime sourceTime) {
  FileTime existing;
  return getFileTimeIn(folders, destinationPath, &existing) == 0 &&
         fileTimeValue(existing) >= fileTimeValue(sourceTime);
}

// A source file that the destination cannot hold under its name, or cannot tell
// apart from an earlier one, fails alone: it is never written over another.
int refusedByDestination(Passes* passes, int32_t s) {
  const RunSettings& settings = *passes->settings;
  const FileEntry& source = sourceTable.entries[s];
  int32_t earlier = source.clash ? clashingEntry(s) : -1;
  const char* reason =
      earlier < 0 && source.nameRules != namesAsPlatform ? refusedName(source) : nullptr;
  if (earlier < 0 && !reason) return 0;
  std::string why = earlier >= 0
                        ? std::string("the destination cannot tell it apart from ") +
                              sourceTable.entries[earlier].relativePath
                        : std::string("the destination cannot hold this name (") + reason + ")";
  reportFailureReason("copy", settings.sourceRoot, source.relativePath, why.c_str());
  tellDecided(passes, jsonCopy, source.relativePath, static_cast<int64_t>(source.size), jsonFailed,
              why.c_str());
  if (settings.verbose && earlier >= 0)
    consolePrintf("Not copied [%s%s]: the destination cannot tell it apart from %s !\n",
                  settings.sourceRoot, source.relativePath,
                  sourceTable.entries[earlier].relativePath);
  else if (settings.verbose)
    consolePrintf("Not copied [%s%s]: the destination cannot hold this name (%s) !\n",
                  settings.sourceRoot, source.relativePath, reason);
  ++passes->counts.failures;
  return 1;
}

// True when the source file would land in a folder of the destination that holds the
// backup tag, which its listing passed over: kept versions, never copied over.
bool landsInTaggedFolder(const FileEntry& source, int foldCase) {
  for (int32_t i = 0; i < destinationTable.taggedFolderCount; ++i)
    if (liesInFolder(source.relativePath, destinationTable.taggedFolders[i], foldCase)) return true;
  return false;
}

// The backup folder in the destination is the run's own, and a tagged one another
// run's: nothing is copied into either, and a source file that would land there
// fails, as one onto the log does.
int landsInBackupFolder(Passes* passes, const FileEntry& source) {
  const RunSettings& settings = *passes->settings;
  int foldCase = source.nameRules != namesAsPlatform;
  if (!liesInBackupFolder(settings, source.relativePath, foldCase) &&
      !landsInTaggedFolder(source, foldCase))
    return 0;
  reportFailureReason("copy", settings.sourceRoot, source.relativePath,
                      "it would land in the backup folder");
  tellDecided(passes, jsonCopy, source.relativePath, static_cast<int64_t>(source.size), jsonFailed,
              "it would land in the backup folder");
  if (settings.verbose)
    consolePrintf("Not copied [%s%s]: it would land in the backup folder !\n", settings.sourceRoot,
                  source.relativePath);
  ++passes->counts.failures;
  return 1;
}
}  // namespace

void copyPass(Passes* passes, int destinationListingComplete) {
  const RunSettings& settings = *passes->settings;
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  for (int32_t s = 0; s < sourceTable.count && !stopping(passes); ++s) {
    const FileEntry& source = sourceTable.entries[s];
    if (source.handled || refusedByDestination(passes, s) || landsInBackupFolder(passes, source))
      continue;
    if (settings.preserve && (linksToLeader(passes, s, -1) || exactCopy(passes, s))) continue;
    if (joinFullPath(passes, sourcePath, settings.sourceRoot, source.relativePath, jsonCopy) ||
        joinFullPath(passes, destinationPath, settings.destinationRoot, source.relativePath,
                     jsonCopy))
      continue;
    if (!destinationListingComplete &&
        unlistedAndNotOlder(&passes->folders, destinationPath, source.lastWriteTime)) {
      if (settings.verbose)
        consolePrintf("Kept [%s]: not older than the source !\n", destinationPath);
      continue;
    }
    if (isOpenLog(passes, destinationPath, "copy over", jsonCopy)) continue;
    if (!roomForCopies(passes)) break;
    if (settings.verbose)
      consolePrintf("We need to copy %s%s\n", settings.sourceRoot, source.relativePath);
    logAction(passes->log, "Got", source.relativePath, &source.size);
    noteNameState(passes, s, nameRewritten);
    copyEntry(passes, source, sourcePath, destinationPath, 0);
    ++passes->counts.decided;
    if (settings.previewOnly) {
      ++passes->counts.copies;
      passes->counts.bytesCopied += static_cast<int64_t>(source.size);
    }
  }
}
