// The run of the passes: the tree and the backup folder readied, the deletion nets
// checked before any change, then the updates and copies (every copy in place before
// the first deletion), the deletions, and the sync that makes them last.
#include "reconcile/reconcile.h"

#include <cstdlib>
#include <new>

#include "base/run_folders.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/deletion_guard.h"
#include "reconcile/destination_names.h"
#include "reconcile/passes.h"

namespace {
int32_t unhandledEntries(const EntryTable& table) {
  int32_t unhandled = 0;
  for (int32_t i = 0; i < table.count; ++i) unhandled += !table.entries[i].handled;
  return unhandled;
}

// Waits until the renames and deletions of the run are on disk: only then may the
// run report success (and the disk be unplugged).
void syncChanges(Passes* passes) {
  const RunSettings& settings = *passes->settings;
  const PassCounts& counts = passes->counts;
  if (settings.noSync || settings.previewOnly || counts.decided == 0) return;
  if (syncChangedFileSystems(settings.destinationRoot) == 0) return;
  consolePrintf("The changes could not be written to disk completely !\n");
  ++passes->counts.failures;
}

// The log may lie anywhere in the tree: the current directory's, or --log's file.
void keepLogFile(Passes* passes) {
  if (!passes->log->file) return;
  FileIdentity identity;
  if (passes->kept.needed && fileIdentity(runLogName(*passes->settings), &identity) == 0)
    keepIdentity(passes, identity);
  if (passes->openLog.known && passes->kept.needed) keepIdentity(passes, passes->openLog.identity);
}

void endBackupFolder(Passes* passes) {
  if (passes->backup.root) closeTreeFolders(&passes->backup);
  free(passes->backupPath);
  passes->backupPath = nullptr;
}

// Readies the way into the backup folder, where the run holds one; 1 when memory
// ran out. A preview holds none, and only needs the path buffer.
int beginBackupFolder(Passes* passes) {
  passes->backup = TreeFolders{};
  passes->backupPath = nullptr;
  if (!passes->settings->backupRunFolder[0]) return 0;
  passes->backupPath = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  if (!passes->backupPath) return 1;
  const HeldFolder& runFolder = passes->runFolders->backupRun;
  return runFolder.handle != noFolder && openTreeFolders(&passes->backup, &runFolder);
}

// Readies what the passes share; 1 when memory ran out (the message printed).
int beginPasses(Passes* passes, const PassInput& input, TwinIndex* index) {
  *passes = Passes{};
  passes->settings = input.settings;
  passes->runFolders = input.folders;
  passes->log = input.log;
  passes->seams = input.seams ? input.seams : &noReconcileSeams;
  passes->copySeams = input.copySeams ? input.copySeams : &noCopySeams;
  passes->kept.needed = 1;
  const RunSettings& settings = *input.settings;
  int failed = beginBackupFolder(passes) || learnDestinationNames(settings.destinationRoot) ||
               applyDestinationNames();
  if (!failed && buildTwinIndex(index, &destinationTable)) failed = 1;
  if (!failed && beginExact(passes, *index)) {
    freeTwinIndex(index);
    failed = 1;
  }
  if (!failed && openTreeFolders(&passes->folders, &input.folders->destination)) {
    freeTwinIndex(index);
    failed = 1;
  }
  if (!failed && beginDestinationClocks(&passes->clocks, &passes->folders, !settings.previewOnly,
                                        passes->seams->fatClockFolder)) {
    closeTreeFolders(&passes->folders);
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
int copyPasses(Passes* passes, TwinIndex* index, const PassInput& input) {
  // A preview makes no copy: it has no copy room.
  if (!passes->settings->previewOnly) {
    passes->copies = copyBegin(passes->settings, passes->runFolders, passes->log, &passes->folders,
                               passes->copySeams, countFinishedCopy, passes);
    if (!passes->copies) return 1;
  }
  planCopies(passes, *index);
  if (passes->seams->passStage) passes->seams->passStage(passes->seams->context, passUpdates);
  updatePass(passes, *index);
  freeTwinIndex(index);
  passes->kept.needed =
      input.sourceListingComplete && unhandledEntries(destinationTable) > 0 ? 1 : 0;
  if (!stopping(passes)) copyPass(passes, input.destinationListingComplete);
  int outOfMemory = passes->copies ? copyEnd(passes->copies) : 0;
  passes->copies = nullptr;
  // Other names of one file are linked to its copy once that is in place.
  if (!outOfMemory && !stopping(passes) && (passes->settings->preserve & preserveHardLinks))
    linkNames(passes, 0);
  return outOfMemory || passes->counts.outOfMemory;
}

void endPasses(Passes* passes) {
  endDestinationClocks(&passes->clocks);
  closeTreeFolders(&passes->folders);
  if (passes->sourcesOpen) closeTreeFolders(&passes->sources);
  endBackupFolder(passes);
  forgetCheckedFolders(&passes->linkCheck);
  endExact(passes);
  free(passes->kept.identities);
  forgetDestinationNames();
}

// The lines and the exit status of passes that ran to their end (or were stopped).
int passesEnded(Passes* passes, const PassInput& input, PassSummary* summary) {
  const PassCounts& counts = passes->counts;
  *summary = PassSummary{counts.copies,    counts.updates,  counts.deletions,
                         counts.keptNewer, counts.failures, counts.bytesCopied};
  summary->moved = counts.moved;
  summary->vanished = counts.vanished;
  summary->olderUpdates = counts.olderUpdates;
  summary->metadataChanged = counts.metadataChanged;
  summary->metadataLeftOut = counts.metadataLeftOut;
  if (counts.interrupted || interruptRequested()) return interruptedExitStatus;
  if (!input.sourceListingComplete)
    consolePrintf("No file was deleted: the source folder could not be listed completely !\n");
  if (!input.destinationListingComplete)
    consolePrintf("The destination folder could not be listed completely !\n");
  bool listedWhole = input.sourceListingComplete && input.destinationListingComplete;
  // Folders that could not be listed whole are not known to be equal.
  if (counts.decided == 0 && counts.failures == 0 && listedWhole) {
    if (!input.settings->quiet) consolePrintf("Nothing to do, folders are equal !\n");
    logText(passes->log, "Nothing to do, folders are equal.\n");
  }
  return counts.failures == 0 && listedWhole ? exitSuccess : exitSomeFailed;
}
}  // namespace

int reconcileTables(const PassInput& input, PassSummary* summary) {
  const RunSettings& settings = *input.settings;
  if (settings.verbose)
    consolePrintf("We have %d destination and %d source indexes\n", destinationTable.count,
                  sourceTable.count);
  Passes* passes = new (std::nothrow) Passes;
  TwinIndex index;
  if (!passes || beginPasses(passes, input, &index)) {
    delete passes;
    return exitOutOfMemory;
  }
  rememberOpenLog(&passes->openLog, input.log->file != nullptr, runLogName(settings));
  // An empty source, more deletions than allowed, or newer files the person would
  // not have deleted stop the run before any change.
  if (int stop = deletionsRefused(settings, passes->openLog, &index, input.sourceListingComplete)) {
    freeTwinIndex(&index);
    endPasses(passes);
    delete passes;
    return stop;
  }
  keepLogFile(passes);
  int status = exitOutOfMemory;
  if (copyPasses(passes, &index, input)) {
    consolePrintf("Memory allocation failure !\n");
  } else {
    if (passes->seams->passStage) passes->seams->passStage(passes->seams->context, passDeletions);
    if (!stopping(passes) && input.sourceListingComplete) deletePass(passes);
    if (settings.preserve && !stopping(passes)) {
      finishTree(passes, input.sourceListingComplete);
      setFolderTimes(passes);
    }
    if (!passes->counts.interrupted && !passes->counts.tooFewFiles) syncChanges(passes);
    status = passes->counts.tooFewFiles ? exitStopped : passesEnded(passes, input, summary);
  }
  endPasses(passes);
  delete passes;
  return status;
}
