#include "reconcile/reconcile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "collect/entry_table.h"
#include "platform/folders.h"
#include "reconcile/copy_batch.h"
#include "reconcile/copy_engine.h"
#include "reconcile/copy_file.h"
#include "reconcile/deletion_guard.h"
#include "reconcile/destination_clock.h"
#include "reconcile/destination_links.h"
#include "reconcile/destination_names.h"
#include "reconcile/open_log_guard.h"
#include "reconcile/partial_name.h"
#include "reconcile/twin_index.h"
#include "run/failure_report.h"
#include "run/progress.h"
#include "run/run_log.h"
#include "run/settings.h"

void (*passStageHook)(int stage) = nullptr;
void (*deletionTriedHook)(long long deletionsTried) = nullptr;

namespace {
// What one run of the passes has decided and met so far.
struct PassCounts {
  int32_t updates;
  int32_t copies;
  int32_t deletions;
  int32_t failures;
  int32_t interrupted;
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

PassCounts counts;
KeptFiles kept;
// The tree as the passes change it, for the copies' ends.
DestinationFolders* copyFolders;

// Ctrl-C or a termination request ends the passes between two actions.
bool stopping() {
  if (interruptRequested()) counts.interrupted = 1;
  return counts.interrupted != 0;
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

// Copies one source entry over its destination path, as an update or a copy. Links
// that stand where its folders should be are removed first for a copy (the listing
// never walks them); an update's folders were listed as folders, so a link there now
// was put there during the run, and the update fails on it.
void copyEntry(DestinationFolders* folders, const FileEntry& source, const char* sourcePath,
               const char* destinationPath, int clearLinks) {
  if (previewOnly) {
    keepFile(folders, destinationPath);
    return;
  }
  if (clearLinks && clearFolderLinks(folders, destinationPath)) {
    ++counts.failures;
    return;
  }
  copyInTurn(destinationPath, sourcePath, source.lastWriteTime, static_cast<int64_t>(source.size));
}

// A copy written (or failed) and reported, in the order the copies were decided.
void countFinishedCopy(const CopyJob* job) {
  noteCopyDone(job->listedSize);
  if (job->result == copyDone) counts.bytesCopied += job->listedSize;
  if (job->result == copyInterrupted) counts.interrupted = 1;
  if (job->result != copyDone) ++counts.failures;
  DestinationFolders* folders = copyFolders;
  const char* path = job->destinationPath.c_str();
  keepFile(folders, path);
  // A copy waiting in its batch still has its partial name; the move into place
  // keeps its identity.
  if (!job->writePath.empty() && job->writePath != job->destinationPath)
    keepFile(folders, job->writePath.c_str());
}

// What the progress line counts down: the sources with an older twin or none, as
// the listing has them before any pass ran.
void planCopies(const TwinIndex& index) {
  if (!progress.shown || previewOnly) return;
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

void updatePass(DestinationFolders* folders, const TwinIndex& index) {
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
        sourceIsNewer(source, destination, destinationPath)) {
      if (!isOpenLog(destinationPath, "update")) {
        if (verbose) consolePrintf("Newer file found %s, updating!\n", source.relativePath);
        logAction("Updated", source.relativePath, &source.size);
        copyEntry(folders, source, sourcePath, destinationPath, 0);
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

// The next source files that the copy pass will copy, asked to be read ahead
// while the present one is copied, so that a source not in memory is read with
// several requests in flight. next is the first entry not yet looked at.
struct ReadAhead {
  int32_t next;
  int available;
};

void readAheadFrom(ReadAhead* ahead, int32_t current) {
  char path[pathBufferSize];
  if (ahead->next <= current) ahead->next = current + 1;
  while (ahead->available && ahead->next < sourceTable.count) {
    const FileEntry& entry = sourceTable.entries[ahead->next];
    if (!entry.handled && joinInto(path, sourceRoot, entry.relativePath) == 0) {
      int result = readAheadFile(path, entry.size);
      if (result == readAheadFull) return;
      if (result == readAheadUnavailable) ahead->available = 0;
    }
    ++ahead->next;
  }
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

void copyPass(DestinationFolders* folders, int destinationListingComplete) {
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  ReadAhead ahead = {0, !previewOnly};
  for (int32_t s = 0; s < sourceTable.count && !stopping(); ++s) {
    const FileEntry& source = sourceTable.entries[s];
    if (source.handled || refusedByDestination(s) ||
        joinFullPath(sourcePath, sourceRoot, source.relativePath) ||
        joinFullPath(destinationPath, destinationRoot, source.relativePath))
      continue;
    readAheadFrom(&ahead, s);
    if (!destinationListingComplete &&
        unlistedAndNotOlder(folders, destinationPath, source.lastWriteTime)) {
      if (verbose) consolePrintf("Kept [%s]: not older than the source !\n", destinationPath);
      continue;
    }
    if (isOpenLog(destinationPath, "copy over")) continue;
    if (verbose) consolePrintf("We need to copy %s%s\n", sourceRoot, source.relativePath);
    logAction("Got", source.relativePath, &source.size);
    copyEntry(folders, source, sourcePath, destinationPath, 1);
    ++counts.copies;
    if (previewOnly) counts.bytesCopied += static_cast<int64_t>(source.size);
  }
  endReadAhead();
}

int32_t unhandledEntries(const EntryTable& table) {
  int32_t unhandled = 0;
  for (int32_t i = 0; i < table.count; ++i) unhandled += !table.entries[i].handled;
  return unhandled;
}

void deletePass(DestinationFolders* folders) {
  char destinationPath[pathBufferSize];
  std::sort(kept.identities, kept.identities + kept.count, identityBefore);
  for (int32_t d = 0; d < destinationTable.count && !stopping(); ++d) {
    const FileEntry& destination = destinationTable.entries[d];
    if (destination.handled ||
        joinFullPath(destinationPath, destinationRoot, destination.relativePath) ||
        isKept(folders, destinationPath))
      continue;
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
    if (!previewOnly && deletionTriedHook) deletionTriedHook(counts.deletions + 1);
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

int reconcileTables(int sourceListingComplete, int destinationListingComplete,
                    PassSummary* summary) {
  counts = PassCounts{};
  kept = KeptFiles{nullptr, 0, 0, 1};
  if (verbose)
    consolePrintf("We have %d destination and %d source indexes\n", destinationTable.count,
                  sourceTable.count);
  TwinIndex index;
  if (learnDestinationNames(destinationRoot) || applyDestinationNames() ||
      buildTwinIndex(&index, &destinationTable)) {
    forgetDestinationNames();
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  // An empty source, or more deletions than allowed, stops the run before any change.
  if (deletionsRefused(&index, sourceListingComplete)) {
    freeTwinIndex(&index);
    forgetDestinationNames();
    return exitStopped;
  }
  DestinationFolders folders;
  if (openDestinationFolders(&folders, destinationRoot)) {
    freeTwinIndex(&index);
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  releasePartialNameGuard();
  rememberOpenLog();
  forgetDestinationClocks();
  keepLogFile();
  forgetCheckedFolders();
  copyFolders = &folders;
  beginCopyEngine(&folders, countFinishedCopy);
  planCopies(index);
  if (passStageHook) passStageHook(passUpdates);
  updatePass(&folders, index);
  freeTwinIndex(&index);
  kept.needed = sourceListingComplete && unhandledEntries(destinationTable) > 0;
  if (!counts.interrupted) copyPass(&folders, destinationListingComplete);
  // Every copy is in place before any deletion: the identities kept are theirs.
  counts.failures += endCopyEngine();
  releasePartialNameGuard();
  if (passStageHook) passStageHook(passDeletions);
  if (!counts.interrupted && sourceListingComplete) deletePass(&folders);
  closeDestinationFolders(&folders);
  free(kept.identities);
  forgetDestinationNames();
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
