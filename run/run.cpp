#include "run/run.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "collect/entry_table.h"
#include "collect/path_key.h"
#include "collect/scan_threads.h"
#include "platform/platform.h"
#include "reconcile/reconcile.h"
#include "run/backup_folder.h"
#include "run/command_line.h"
#include "run/memory.h"
#include "run/progress.h"
#include "run/run_filters.h"
#include "run/run_lock.h"
#include "run/run_log.h"
#include "run/seams.h"
#include "run/settings.h"
#include "run/summary.h"
#include "run/version.h"
#include "scan/tree_walker.h"

// Copies a root with one separator after it, which also makes a bare drive (C:)
// name the drive's root when it is resolved.
int resolveRoot(const char* root, char* resolved) {
  char withSeparator[pathBufferSize + 1];
  size_t length = strlen(root);
  memcpy(withSeparator, root, length);
  withSeparator[length] = pathSeparator;
  withSeparator[length + 1] = '\0';
  if (resolveFullPath(withSeparator, resolved, pathBufferSize)) return 1;
  length = strlen(resolved);
  if (length == 0 || !isPathSeparator(resolved[length - 1])) {
    if (length + 2 > static_cast<size_t>(pathBufferSize)) return 1;
    resolved[length] = pathSeparator;
    resolved[length + 1] = '\0';
  }
  return 0;
}

// Names cannot show every way two folders meet: a file system that ignores letter
// case, or one folder mounted at two places. The identity of each folder on the way
// down to inner can: when one of them is outer, inner lies within it.
int liesWithin(const char* inner, const char* outer) {
  FileIdentity outerIdentity;
  if (fileIdentity(outer, &outerIdentity)) return 0;
  char prefix[pathBufferSize];
  size_t length = strlen(inner);
  memcpy(prefix, inner, length + 1);
  for (size_t at = 0; at < length; ++at) {
    if (!isPathSeparator(inner[at])) continue;
    prefix[at + 1] = '\0';
    FileIdentity identity;
    if (fileIdentity(prefix, &identity) == 0 && identity.volume == outerIdentity.volume &&
        identity.index == outerIdentity.index)
      return 1;
    prefix[at + 1] = inner[at + 1];
  }
  return 0;
}

namespace {
int takeRoots(char** argv) {
  const char* names[2] = {"destination", "source"};
  char* roots[2] = {destinationRoot, sourceRoot};
  for (int i = 0; i < 2; ++i) {
    int result = takeRoot(roots[i], argv[i + 1]);
    if (result == rootTooLong) {
      consolePrintf("The %s folder name is too long (at most %d characters) !\n", names[i],
                    pathBufferSize - 1);
      return 1;
    }
    // A drive's root as the destination would have the whole drive mirrored away
    // by one slip (D:\ for D:\backup); as the source it is only read.
    if (result == rootEmpty || (i == 0 && isVolumeRootName(roots[i]))) {
      consolePrintf("The %s folder [%s] is empty or a file-system root: give a folder below it !\n",
                    names[i], argv[i + 1]);
      return 1;
    }
  }
  return 0;
}

// Tells which root holds the other, on resolved paths (each ending in a separator).
void reportRootsMeet(int destinationHolds, int sourceHolds, const char* destination,
                     const char* source) {
  if (destinationHolds && sourceHolds)
    consolePrintf("The destination and the source are the same folder [%s] !\n", source);
  else if (destinationHolds)
    consolePrintf("The source folder [%s] lies inside the destination folder [%s] !\n", source,
                  destination);
  else if (sourceHolds)
    consolePrintf("The destination folder [%s] lies inside the source folder [%s] !\n", destination,
                  source);
}

}  // namespace

int nearestFolderIdentity(const char* resolved, FileIdentity* identity) {
  char prefix[pathBufferSize];
  size_t length = strlen(resolved);
  memcpy(prefix, resolved, length + 1);
  while (length > 0) {
    if (fileIdentity(prefix, identity) == 0) return 0;
    while (length > 0 && isPathSeparator(prefix[length - 1])) --length;
    while (length > 0 && !isPathSeparator(prefix[length - 1])) --length;
    prefix[length] = '\0';
  }
  return 1;
}

namespace {
// What the two listings look for beside the files: names cannot show every way
// two trees meet (a subfolder mounted at a second place), the identity of each
// folder listed can. The destination's listing looks for the source's root, the
// source's listing for the destination's (or where the copies would make it).
struct RootWatch {
  char destination[pathBufferSize];
  char source[pathBufferSize];
  ScanRequest destinationScan;
  ScanRequest sourceScan;
};

void watchRoots(RootWatch* watch, const RunSeams* seams) {
  watch->destinationScan = ScanRequest{destinationRoot, {0, 0}, 0, seams};
  watch->sourceScan = ScanRequest{sourceRoot, {0, 0}, 0, seams};
  if (resolveRoot(destinationRoot, watch->destination) || resolveRoot(sourceRoot, watch->source))
    return;
  watch->destinationScan.otherRootKnown =
      fileIdentity(watch->source, &watch->destinationScan.otherRoot) == 0;
  watch->sourceScan.otherRootKnown =
      nearestFolderIdentity(watch->destination, &watch->sourceScan.otherRoot) == 0;
}

// Tells why the listings do not allow any change; 0 when they do.
int scansAllowChanges(int destination, int source, const RootWatch& watch) {
  if (destination == scanNotStarted || source == scanNotStarted) {
    consolePrintf("Could not start a scan thread: nothing was changed !\n");
    return 0;
  }
  if (destination == scanHoldsOtherRoot || source == scanHoldsOtherRoot) {
    reportRootsMeet(destination == scanHoldsOtherRoot, source == scanHoldsOtherRoot,
                    watch.destination, watch.source);
    return 0;
  }
  if (destination == scanAborted || source == scanAborted) {
    consolePrintf("Listing stopped: nothing was changed !\n");
    return 0;
  }
  if (source == scanRootMissing || source == scanRootUnreadable) {
    consolePrintf("Cannot list the source folder [%s]: nothing was changed !\n", sourceRoot);
    return 0;
  }
  if (destination == scanRootUnreadable) {
    consolePrintf("Cannot list the destination folder [%s]: nothing was changed !\n",
                  destinationRoot);
    return 0;
  }
  return 1;
}

// One last look at the keyboard once both listings are over, before the first
// change: every key waiting is read, and an ESC among them stops the run.
int escapeWaiting() {
  int pressed = 0;
  for (int key = pollKey(); key >= 0; key = pollKey())
    if (key == escapeKey) pressed = 1;
  return pressed;
}

int scanAndReconcile(const RunSeams* seams, PassSummary* summary) {
  // Two path buffers: too large for the stack on Windows.
  RootWatch* watch = new (std::nothrow) RootWatch;
  if (!watch) {
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  watchRoots(watch, seams);
  beginKeyWatch();
  startDestinationScan(&watch->destinationScan);
  startSourceScan(&watch->sourceScan);
  int destination = waitForScan(destinationScanThread);
  int source = waitForScan(sourceScanThread);
  if (seams->scansEnded) seams->scansEnded(seams->context);
  if (escapeWaiting() && destination != scanNotStarted && destination != scanHoldsOtherRoot)
    destination = scanAborted;
  endKeyWatch();
  int allowed = !interruptRequested() && scansAllowChanges(destination, source, *watch);
  delete watch;
  if (interruptRequested()) return interruptedExitStatus;
  if (!allowed) return exitStopped;
  if (verbose) reportExcludedFolders();
  int status =
      reconcileTables(source == scanComplete, destination != scanIncomplete, seams, summary);
  summary->filtered = runFilterSet() != nullptr;
  summary->foldersLeftOut = countExcludedFolders();
  summary->filesLeftOut = sourceTable.excludedFiles;
  return status;
}
}  // namespace

int checkRootsApart(const char* destination, const char* source) {
  char resolvedDestination[pathBufferSize];
  char resolvedSource[pathBufferSize];
  if (resolveRoot(destination, resolvedDestination) || resolveRoot(source, resolvedSource)) {
    consolePrintf("Cannot resolve the folder names [%s] and [%s] !\n", destination, source);
    return 1;
  }
  size_t destinationLength = strlen(resolvedDestination);
  size_t sourceLength = strlen(resolvedSource);
  size_t shorter = destinationLength < sourceLength ? destinationLength : sourceLength;
  // Both end in a separator, so a common prefix of the shorter length means the
  // shorter one is the other or one of its ancestors.
  int destinationHolds = 0;
  int sourceHolds = 0;
  if (pathNamesEqualN(resolvedDestination, resolvedSource, shorter)) {
    destinationHolds = destinationLength <= sourceLength;
    sourceHolds = sourceLength <= destinationLength;
  } else {
    destinationHolds = liesWithin(resolvedSource, resolvedDestination);
    sourceHolds = liesWithin(resolvedDestination, resolvedSource);
  }
  reportRootsMeet(destinationHolds, sourceHolds, resolvedDestination, resolvedSource);
  return destinationHolds || sourceHolds;
}

int runTalven(int argc, char** argv) {
  return runTalvenWith(argc, argv, nullptr);
}

int runTalvenWith(int argc, char** argv, const RunSeams* seams) {
  if (!seams) seams = &noRunSeams;
  beginMemoryWatch();
  int64_t startMs = progressClockMs();
  consolePrintf("Talven Package v" TALVEN_VERSION " - folder mirror by the Talven developers\n\n");
  const char* programName = argv[0] ? argv[0] : "talven";
  if (argc == 2 && asksForHelp(argv[1])) {
    printHelp(programName);
    return exitSuccess;
  }
  if (argc == 2 && asksForVersion(argv[1])) {
    printVersion();
    return exitSuccess;
  }
  if (argc < 3) return printUsage(programName);
  buildPathKeyTable();
  if (takeRoots(argv)) return exitStopped;
  if (readArguments(argc, argv)) return exitStopped;
  if (int stop = prepareRunFilters()) return stop;
  consolePrintf("Mirroring source [%s] to destination folder [%s]\n", sourceRoot, destinationRoot);
  destinationRootLength = static_cast<int32_t>(strlen(destinationRoot));
  sourceRootLength = static_cast<int32_t>(strlen(sourceRoot));
  if (checkRootsApart(destinationRoot, sourceRoot)) return exitStopped;
  if (checkBackupFolder()) return exitStopped;
  if (lockRunDestination(seams)) return exitStopped;
  if (makeBackupRunFolder(time(nullptr))) {
    releaseRunDestination();
    return exitStopped;
  }
  if (fitRunFiltersTo(destinationRoot)) {
    removeEmptyBackupRunFolder();
    releaseRunDestination();
    return exitOutOfMemory;
  }
  installInterruptHandler();
  // A log asked for and not opened: the run goes on, but is no success.
  int logMissing = logEnabled && openRunLog() != 0;
  if (initEntryTables()) {
    consolePrintf("Memory allocation failure !\n");
    closeRunLog();
    freeEntryTables();
    removeEmptyBackupRunFolder();
    releaseRunDestination();
    return exitOutOfMemory;
  }
  beginProgress();
  int shownOnTerminal = progressShown();
  PassSummary summary = {};
  int status = scanAndReconcile(seams, &summary);
  endProgress();
  // The run stopped as an interruption stops it, its copies removed or put in place.
  if (memoryRanOut() && status != exitOutOfMemory) {
    consolePrintf("Memory allocation failure !\n");
    status = exitOutOfMemory;
  }
  // The log is part of what a run reports: a log not on disk is no success.
  if (closeRunLog() && status != interruptedExitStatus) {
    consolePrintf("The log could not be written to disk completely !\n");
    if (status == exitSuccess) status = exitSomeFailed;
  }
  if (logMissing && status == exitSuccess) status = exitSomeFailed;
  freeEntryTables();
  removeEmptyBackupRunFolder();
  releaseRunDestination();
  // The progress line gives way to the summary, which stays.
  printSummary(summary, status, progressClockMs() - startMs, shownOnTerminal);
  return status;
}
