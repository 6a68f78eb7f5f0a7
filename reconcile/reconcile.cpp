#include "reconcile/reconcile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collect/entry_table.h"
#include "copy/copy.h"
#include "platform/folders.h"
#include "reconcile/deletion_guard.h"
#include "reconcile/destination_clock.h"
#include "reconcile/destination_links.h"
#include "reconcile/destination_names.h"
#include "reconcile/open_log_guard.h"
#include "reconcile/twin_index.h"
#include "run/backup_folder.h"
#include "run/failure_report.h"
#include "run/progress.h"
#include "run/run_log.h"
#include "run/seams.h"
#include "run/settings.h"

namespace {
// What one run of the passes has decided and met so far.
struct PassCounts {
  int32_t updates;
  int32_t copies;
  int32_t deletions;
  int32_t failures;
  int32_t interrupted;
  int32_t outOfMemory;  ///< the copies ran out of memory: the run ends
  int32_t tooFewFiles;  ///< too few files may be open for any copy: stopped before any change
  /// Destination files kept because they are newer than their source twins.
  int32_t keptNewer;
  /// Listed sizes of the copies written (with -p: decided), for the summary.
  int64_t bytesCopied;
};

// The files that the updates and copies wrote or would write, and the open log:
// none of them may be deleted by the same run.
struct KeptFiles {
  FileIdentity* identities;
  size_t count;
  size_t capacity;
  /// Clear once no deletion can follow: nothing needs keeping then.
  int needed;
};

// What the passes of one run share: the tree as they change it, the copies under
// way, the clocks of the destination's file systems, and the test seams.
struct Passes {
  DestinationFolders* folders;
  /// The run's backup folder (--backup-dir), where deletions go; open only then.
  DestinationFolders backup;
  char* backupPath;  ///< pathBufferSize bytes: where the file at hand goes
  CopyEngine* copies;
  DestinationClocks clocks;
  const RunSeams* seams;
  int roomChecked;  ///< the files the copies need were counted, before the first
};

PassCounts counts;
KeptFiles kept;

// Ctrl-C or a termination request ends the passes between two actions, and so does
// a lack of memory.
bool stopping() {
  if (interruptRequested()) counts.interrupted = 1;
  return counts.interrupted != 0 || counts.outOfMemory != 0 || counts.tooFewFiles != 0;
}

void keepIdentity(const FileIdentity& identity) {
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

void keepFile(const char* path) {
  FileIdentity identity;
  if (kept.needed && fileIdentity(path, &identity) == 0) keepIdentity(identity);
}

bool identityBefore(const FileIdentity& a, const FileIdentity& b) {
  return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
}

void keepFile(DestinationFolders* folders, const char* path) {
  FileIdentity identity;
  if (kept.needed && fileIdentityIn(folders, path, &identity) == 0) keepIdentity(identity);
}

int isKept(DestinationFolders* folders, const char* path) {
  FileIdentity identity;
  if (kept.count == 0 || fileIdentityIn(folders, path, &identity)) return 0;
  return std::binary_search(kept.identities, kept.identities + kept.count, identity,
                            identityBefore);
}

// An update or copy onto the log is not done, and counts as failed: the destination
// then differs from the source.
int isOpenLog(const char* path, const char* action) {
  if (!targetsOpenLog(path, action)) return 0;
  ++counts.failures;
  return 1;
}

// Joins root and relative path into full (pathBufferSize bytes); 0 when it fits.
int joinInto(char* full, const char* root, const char* relativePath) {
  size_t rootLength = strlen(root);
  size_t relativeLength = strlen(relativePath);
  if (rootLength + relativeLength + 1 > static_cast<size_t>(pathBufferSize)) return 1;
  memcpy(full, root, rootLength);
  memcpy(full + rootLength, relativePath, relativeLength + 1);
  return 0;
}

// The same for a path an action needs: one that does not fit is that action's failure.
int joinFullPath(char* full, const char* root, const char* relativePath) {
  if (joinInto(full, root, relativePath) == 0) return 0;
  if (verbose) consolePrintf("Path too long, nothing done for [%s%s] !\n", root, relativePath);
  reportFailure("reach", root, relativePath, failurePathTooLong);
  ++counts.failures;
  return 1;
}

// Before the first copy, which is the run's first change: a process that may not
// open the files any copy needs stops here, having changed nothing, and says why.
bool roomForCopies(Passes* passes) {
  if (passes->roomChecked || previewOnly) return true;
  passes->roomChecked = 1;
  int free = 0;
  int fewest = fewestFilesForCopies(&free);
  if (free >= fewest) return true;
  consolePrintf(
      "Too few files may be open at once (%d free, at least %d needed): raise the "
      "limit (ulimit -n) !\n",
      free, fewest);
  counts.tooFewFiles = 1;
  return false;
}

// Copies one source entry over its destination path, as an update or a copy. Links
// that stand where its folders should be are removed first for a copy (the listing
// never walks them); an update's folders were listed as folders, so a link there now
// was put there during the run, and the update fails on it.
void copyEntry(Passes* passes, const FileEntry& source, const char* sourcePath,
               const char* destinationPath, int update) {
  if (previewOnly) {
    keepFile(passes->folders, destinationPath);
    return;
  }
  if (!update && clearFolderLinks(passes->folders, destinationPath)) {
    ++counts.failures;
    return;
  }
  CopyRequest request = {destinationPath,
                         sourcePath,
                         stampFor(&passes->clocks, destinationPath, source.lastWriteTime),
                         static_cast<int64_t>(source.size),
                         update,
                         kept.needed};
  copySubmit(passes->copies, &request);
}

// A copy written (or failed) and reported, in the order the copies were decided. The
// file now at its destination is kept from the deletions: the copy's own, or, where
// it failed, the one it was to replace.
void countFinishedCopy(void* context, const CopyOutcome* outcome) {
  Passes* passes = static_cast<Passes*>(context);
  if (outcome->result == copyDone) counts.bytesCopied += outcome->request->listedSize;
  if (outcome->result == copyInterrupted) counts.interrupted = 1;
  if (outcome->result == copyOutOfMemory) counts.outOfMemory = 1;
  if (outcome->result != copyDone) ++counts.failures;
  if (!kept.needed) return;
  if (outcome->identityKnown)
    keepIdentity(outcome->identity);
  else
    keepFile(passes->folders, outcome->request->destinationPath);
}

// What the progress line counts down: the sources with an older twin or none, as
// the listing has them before any pass ran.
void planCopies(const TwinIndex& index) {
  if (!progressShown() || previewOnly) return;
  int64_t files = 0;
  int64_t bytes = 0;
  for (int32_t s = 0; s < sourceTable.count; ++s) {
    const FileEntry& source = sourceTable.entries[s];
    int32_t twin = source.clash ? -1 : findTwin(&index, &destinationTable, source);
    if (twin >= 0 && fileTimeValue(destinationTable.entries[twin].lastWriteTime) >=
                         fileTimeValue(source.lastWriteTime))
      continue;
    ++files;
    bytes += static_cast<int64_t>(source.size);
  }
  beginCopyProgress(files, bytes);
}

// Tells where the file at destinationPath goes, with --backup-dir, before it goes: on
// the console with -v, and in the log. The copy room moves an update's old file.
void reportMove(Passes* passes, const char* destinationPath) {
  if (!backupRunFolder[0]) return;
  const char* relative = destinationPath + destinationRootLength;
  if (backupPathFor(relative, passes->backupPath)) return;
  if (verbose) consolePrintf("Moving [%s] to [%s]\n", destinationPath, passes->backupPath);
  logMoved(relative, passes->backupPath);
}

void updatePass(Passes* passes, const TwinIndex& index) {
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  for (int32_t s = 0; s < sourceTable.count && !stopping(); ++s) {
    FileEntry& source = sourceTable.entries[s];
    // A clash claims no twin: the earlier name it is taken for has claimed it.
    int32_t twin = source.clash ? -1 : findTwin(&index, &destinationTable, source);
    if (twin < 0) continue;
    FileEntry& destination = destinationTable.entries[twin];
    // Later to the 100 ns, then later still at the resolution of the twin's file system.
    bool newer = fileTimeValue(destination.lastWriteTime) < fileTimeValue(source.lastWriteTime);
    if (fileTimeValue(destination.lastWriteTime) > fileTimeValue(source.lastWriteTime))
      ++counts.keptNewer;
    // A copy takes the name it is written under: on POSIX the destination's own,
    // so that a twin that differs in case keeps its spelling (where case counts,
    // the two are the same bytes). Windows writes under the source's, as before.
    const char* writtenAs = platformIsWindows ? source.relativePath : destination.relativePath;
    if (newer && !joinFullPath(sourcePath, sourceRoot, source.relativePath) &&
        !joinFullPath(destinationPath, destinationRoot, writtenAs) &&
        sourceIsNewer(&passes->clocks, source, destination, destinationPath)) {
      if (!roomForCopies(passes)) break;
      if (!isOpenLog(destinationPath, "update")) {
        if (verbose) consolePrintf("Newer file found %s, updating!\n", source.relativePath);
        logAction("Updated", source.relativePath, &source.size);
        reportMove(passes, destinationPath);
        copyEntry(passes, source, sourcePath, destinationPath, 1);
        ++counts.updates;
        if (previewOnly) counts.bytesCopied += static_cast<int64_t>(source.size);
      }
    }
    source.handled = destination.handled = 1;
    source.size = destination.size = 0;
    source.key = destination.key = 0xFFFFFFFFu;
  }
}

// Where the destination could not be listed whole, a copy may land on a file the
// listing never reached. One as new as the source or newer is kept, as a listed twin
// would be: overwriting it would lose the newer file.
int unlistedAndNotOlder(DestinationFolders* folders, const char* destinationPath,
                        FileTime sourceTime) {
  FileTime existing;
  return getFileTimeIn(folders, destinationPath, &existing) == 0 &&
         fileTimeValue(existing) >= fileTimeValue(sourceTime);
}

// A source file that the destination cannot hold under its name, or cannot tell
// apart from an earlier one, fails alone: it is never written over another.
int refusedByDestination(int32_t s) {
  const FileEntry& source = sourceTable.entries[s];
  int32_t earlier = source.clash ? clashingEntry(s) : -1;
  const char* reason =
      earlier < 0 && source.nameRules != namesAsPlatform ? refusedName(source) : nullptr;
  if (earlier < 0 && !reason) return 0;
  if (earlier >= 0) {
    std::string twin = std::string("the destination cannot tell it apart from ") +
                       sourceTable.entries[earlier].relativePath;
    reportFailureReason("copy", sourceRoot, source.relativePath, twin.c_str());
  } else {
    std::string why = std::string("the destination cannot hold this name (") + reason + ")";
    reportFailureReason("copy", sourceRoot, source.relativePath, why.c_str());
  }
  if (verbose && earlier >= 0)
    consolePrintf("Not copied [%s%s]: the destination cannot tell it apart from %s !\n", sourceRoot,
                  source.relativePath, sourceTable.entries[earlier].relativePath);
  else if (verbose)
    consolePrintf("Not copied [%s%s]: the destination cannot hold this name (%s) !\n", sourceRoot,
                  source.relativePath, reason);
  ++counts.failures;
  return 1;
}

// The backup folder in the destination is the run's own: nothing is copied into it,
// and a source file that would land there fails, as one onto the log does.
int landsInBackupFolder(const FileEntry& source) {
  if (!liesInBackupFolder(source.relativePath)) return 0;
  reportFailureReason("copy", sourceRoot, source.relativePath,
                      "it would land in the backup folder");
  if (verbose)
    consolePrintf("Not copied [%s%s]: it would land in the backup folder !\n", sourceRoot,
                  source.relativePath);
  ++counts.failures;
  return 1;
}

void copyPass(Passes* passes, int destinationListingComplete) {
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  for (int32_t s = 0; s < sourceTable.count && !stopping(); ++s) {
    const FileEntry& source = sourceTable.entries[s];
    if (source.handled || refusedByDestination(s) || landsInBackupFolder(source) ||
        joinFullPath(sourcePath, sourceRoot, source.relativePath) ||
        joinFullPath(destinationPath, destinationRoot, source.relativePath))
      continue;
    if (!destinationListingComplete &&
        unlistedAndNotOlder(passes->folders, destinationPath, source.lastWriteTime)) {
      if (verbose) consolePrintf("Kept [%s]: not older than the source !\n", destinationPath);
      continue;
    }
    if (isOpenLog(destinationPath, "copy over")) continue;
    if (!roomForCopies(passes)) break;
    if (verbose) consolePrintf("We need to copy %s%s\n", sourceRoot, source.relativePath);
    logAction("Got", source.relativePath, &source.size);
    copyEntry(passes, source, sourcePath, destinationPath, 0);
    ++counts.copies;
    if (previewOnly) counts.bytesCopied += static_cast<int64_t>(source.size);
  }
}

int32_t unhandledEntries(const EntryTable& table) {
  int32_t unhandled = 0;
  for (int32_t i = 0; i < table.count; ++i) unhandled += !table.entries[i].handled;
  return unhandled;
}

// A deletion with --backup-dir: the file is moved into the backup folder instead. One
// that cannot be moved stays where it is, and the run tells it failed.
void moveAway(Passes* passes, const char* destinationPath, const char* relativePath) {
  if (joinFullPath(passes->backupPath, backupRunFolder, relativePath)) return;
  if (verbose) consolePrintf("Moving [%s] to [%s]\n", destinationPath, passes->backupPath);
  logMoved(relativePath, passes->backupPath);
  if (!previewOnly && moveToBackupIn(passes->folders, destinationPath, &passes->backup,
                                     passes->backupPath) == folderRefused) {
    int code = lastFailureCode();
    if (verbose)
      consolePrintf("Failed to move [%s] to [%s]\n", destinationPath, passes->backupPath);
    reportFailure("move to the backup folder", destinationPath, nullptr, code);
    ++counts.failures;
  }
  if (!previewOnly && passes->seams->deletionTried)
    passes->seams->deletionTried(passes->seams->context, counts.deletions + 1);
  ++counts.deletions;
}

void deletePass(Passes* passes) {
  DestinationFolders* folders = passes->folders;
  char destinationPath[pathBufferSize];
  std::sort(kept.identities, kept.identities + kept.count, identityBefore);
  for (int32_t d = 0; d < destinationTable.count && !stopping(); ++d) {
    const FileEntry& destination = destinationTable.entries[d];
    if (destination.handled ||
        joinFullPath(destinationPath, destinationRoot, destination.relativePath) ||
        isKept(folders, destinationPath))
      continue;
    if (backupRunFolder[0]) {
      moveAway(passes, destinationPath, destination.relativePath);
      continue;
    }
    if (verbose)
      consolePrintf("We need to delete %s%s\n", destinationRoot, destination.relativePath);
    logAction("Deleted", destination.relativePath, nullptr);
    // A file already gone needs no deletion: for instance the partial file of a
    // killed run, which this run's copy of the same file has taken in place.
    if (!previewOnly && deleteFileIn(folders, destinationPath) == folderRefused) {
      if (verbose) consolePrintf("Failed to delete [%s]\n", destinationPath);
      reportFailure("delete", destinationPath, nullptr, lastFailureCode());
      ++counts.failures;
    }
    if (!previewOnly && passes->seams->deletionTried)
      passes->seams->deletionTried(passes->seams->context, counts.deletions + 1);
    ++counts.deletions;
  }
}

// Waits until the renames and deletions of the run are on disk: only then may the
// run report success (and the disk be unplugged).
void syncChanges() {
  if (noSync || previewOnly || counts.updates + counts.copies + counts.deletions == 0) return;
  if (syncChangedFileSystems(destinationRoot) == 0) return;
  consolePrintf("The changes could not be written to disk completely !\n");
  ++counts.failures;
}

// The log may lie anywhere in the tree: the current directory's, or --log's file.
void keepLogFile() {
  if (!logFile) return;
  keepFile(runLogName());
  const FileIdentity* log = openLogIdentity();
  if (log && kept.needed) keepIdentity(*log);
}
}  // namespace

namespace {
void endBackupFolder(Passes* passes) {
  if (passes->backup.root) closeDestinationFolders(&passes->backup);
  free(passes->backupPath);
  passes->backupPath = nullptr;
}

// Readies what the passes share; 1 when memory ran out (the message printed).
int beginPasses(Passes* passes, DestinationFolders* folders, TwinIndex* index,
                const RunSeams* seams) {
  passes->folders = folders;
  passes->seams = seams;
  passes->copies = nullptr;
  passes->roomChecked = 0;
  passes->backup = DestinationFolders{};
  passes->backupPath = nullptr;
  if (backupRunFolder[0]) {
    passes->backupPath = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
    if (!passes->backupPath || openDestinationFolders(&passes->backup, backupRunFolder)) {
      free(passes->backupPath);
      consolePrintf("Memory allocation failure !\n");
      return 1;
    }
  }
  int failed = learnDestinationNames(destinationRoot) || applyDestinationNames() ||
               buildTwinIndex(index, &destinationTable);
  if (!failed && openDestinationFolders(folders, destinationRoot)) {
    freeTwinIndex(index);
    failed = 1;
  }
  if (!failed && beginDestinationClocks(&passes->clocks, folders, seams->fatClockFolder)) {
    closeDestinationFolders(folders);
    freeTwinIndex(index);
    failed = 1;
  }
  if (!failed) return 0;
  forgetDestinationNames();
  endBackupFolder(passes);
  consolePrintf("Memory allocation failure !\n");
  return 1;
}

// The updates and the copies; every copy is in place when this returns, so that the
// identities kept from the deletions are theirs. 1 when memory ran out.
int copyPasses(Passes* passes, TwinIndex* index, int sourceListingComplete,
               int destinationListingComplete) {
  passes->copies = copyBegin(passes->folders, &passes->seams->copy, countFinishedCopy, passes);
  if (!passes->copies) return 1;
  planCopies(*index);
  if (passes->seams->passStage) passes->seams->passStage(passes->seams->context, passUpdates);
  updatePass(passes, *index);
  freeTwinIndex(index);
  kept.needed = sourceListingComplete && unhandledEntries(destinationTable) > 0;
  if (!stopping()) copyPass(passes, destinationListingComplete);
  return copyEnd(passes->copies) || counts.outOfMemory;
}

void endPasses(Passes* passes) {
  endDestinationClocks(&passes->clocks);
  closeDestinationFolders(passes->folders);
  endBackupFolder(passes);
  free(kept.identities);
  forgetDestinationNames();
}
}  // namespace

int reconcileTables(int sourceListingComplete, int destinationListingComplete,
                    const RunSeams* seams, PassSummary* summary) {
  counts = PassCounts{};
  kept = KeptFiles{nullptr, 0, 0, 1};
  if (verbose)
    consolePrintf("We have %d destination and %d source indexes\n", destinationTable.count,
                  sourceTable.count);
  Passes passes;
  DestinationFolders folders;
  TwinIndex index;
  if (beginPasses(&passes, &folders, &index, seams ? seams : &noRunSeams)) return exitOutOfMemory;
  // An empty source, or more deletions than allowed, stops the run before any change.
  if (deletionsRefused(&index, sourceListingComplete)) {
    freeTwinIndex(&index);
    endPasses(&passes);
    return exitStopped;
  }
  rememberOpenLog();
  keepLogFile();
  forgetCheckedFolders();
  if (copyPasses(&passes, &index, sourceListingComplete, destinationListingComplete)) {
    endPasses(&passes);
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  if (passes.seams->passStage) passes.seams->passStage(passes.seams->context, passDeletions);
  if (!stopping() && sourceListingComplete) deletePass(&passes);
  endPasses(&passes);
  if (counts.tooFewFiles) return exitStopped;
  if (!counts.interrupted) syncChanges();
  *summary = PassSummary{counts.copies,    counts.updates,  counts.deletions,
                         counts.keptNewer, counts.failures, counts.bytesCopied};
  if (counts.interrupted || interruptRequested()) return interruptedExitStatus;
  if (!sourceListingComplete)
    consolePrintf("No file was deleted: the source folder could not be listed completely !\n");
  if (!destinationListingComplete)
    consolePrintf("The destination folder could not be listed completely !\n");
  // Folders that could not be listed whole are not known to be equal.
  if (counts.updates == 0 && counts.copies == 0 && counts.deletions == 0 && counts.failures == 0 &&
      sourceListingComplete && destinationListingComplete) {
    consolePrintf("Nothing to do, folders are equal !\n");
    logText("Nothing to do, folders are equal.\n");
  }
  bool allDone = counts.failures == 0 && sourceListingComplete && destinationListingComplete;
  return allDone ? exitSuccess : exitSomeFailed;
}
