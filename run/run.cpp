#include "run/run.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "base/failure_report.h"
#include "base/memory.h"
#include "base/paths.h"
#include "base/progress.h"
#include "base/run_folders.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "base/version.h"
#include "collect/entry_table.h"
#include "collect/path_key.h"
#include "collect/scan_threads.h"
#include "platform/platform.h"
#include "reconcile/reconcile.h"
#include "run/backup_folder.h"
#include "run/backup_keep.h"
#include "run/command_line.h"
#include "run/json_run.h"
#include "run/run_lock.h"
#include "run/seams.h"
#include "run/summary.h"
#include "scan/run_filters.h"
#include "scan/tree_walker.h"

namespace {
// What one run holds from its start to its end.
struct Run {
  RunSettings settings;
  RunFilters filters;
  RunLog log;
  RunFolders folders;
  const RunSeams* seams;
  PassSummary summary;
  int startTold;  ///< --json: the start object was printed, the end object is owed
};

int takeRoots(RunSettings* settings, char** argv) {
  const char* names[2] = {"destination", "source"};
  char* roots[2] = {settings->destinationRoot, settings->sourceRoot};
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
  char log[pathBufferSize];  ///< the open log's resolved path
  LeftOutFile leftOutLog;
};

// The open log, where it lies in the source, is no file of the source: each run
// would copy it again. The source's listing leaves it out by its identity.
void watchLog(RootWatch* watch, const Run& run) {
  if (!run.log.file) return;
  const char* name = runLogName(run.settings);
  LeftOutFile* log = &watch->leftOutLog;
  if (resolveFullPath(name, watch->log, sizeof watch->log) != 0 ||
      fileIdentity(watch->log, &log->identity) != 0)
    return;
  log->names[0] = name + folderPartLength(name);
  log->names[1] = watch->log + folderPartLength(watch->log);
  watch->sourceScan.leftOutFile = log;
}

void watchRoots(RootWatch* watch, const Run& run) {
  const RunSettings& settings = run.settings;
  const FilterSet* filters = settings.filters;
  watch->destinationScan =
      ScanRequest{settings.destinationRoot, {0, 0}, 0, &settings, filters, &run.seams->scan};
  watch->sourceScan =
      ScanRequest{settings.sourceRoot, {0, 0}, 0, &settings, filters, &run.seams->scan};
  watchLog(watch, run);
  if (resolveRoot(settings.destinationRoot, watch->destination) ||
      resolveRoot(settings.sourceRoot, watch->source))
    return;
  watch->destinationScan.otherRootKnown =
      fileIdentity(watch->source, &watch->destinationScan.otherRoot) == 0;
  watch->sourceScan.otherRootKnown =
      nearestFolderIdentity(watch->destination, &watch->sourceScan.otherRoot) == 0;
}

// Tells why the listings do not allow any change; 0 when they do.
int scansAllowChanges(int destination, int source, const RootWatch& watch,
                      const RunSettings& settings) {
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
  // The system's reason, as each scan took it.
  char reason[256];
  if (source == scanRootMissing || source == scanRootUnreadable) {
    describeFailure(watch.sourceScan.rootFailure, reason, sizeof reason);
    consolePrintf("Cannot list the source folder [%s] (%s): nothing was changed !\n",
                  settings.sourceRoot, reason);
    return 0;
  }
  if (destination == scanRootUnreadable) {
    describeFailure(watch.destinationScan.rootFailure, reason, sizeof reason);
    consolePrintf("Cannot list the destination folder [%s] (%s): nothing was changed !\n",
                  settings.destinationRoot, reason);
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

int scanAndReconcile(Run* run, PassSummary* summary) {
  const RunSeams* seams = run->seams;
  const RunSettings& settings = run->settings;
  // Two path buffers: too large for the stack on Windows.
  RootWatch* watch = new (std::nothrow) RootWatch;
  if (!watch) {
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  watchRoots(watch, *run);
  beginKeyWatch();
  startDestinationScan(&watch->destinationScan);
  startSourceScan(&watch->sourceScan);
  int destination = waitForScan(destinationScanThread);
  int source = waitForScan(sourceScanThread);
  if (seams->scansEnded) seams->scansEnded(seams->context);
  tellJsonUnlisted(settings);
  if (escapeWaiting() && destination != scanNotStarted && destination != scanHoldsOtherRoot)
    destination = scanAborted;
  endKeyWatch();
  int allowed = !interruptRequested() && scansAllowChanges(destination, source, *watch, settings);
  delete watch;
  if (interruptRequested()) return interruptedExitStatus;
  if (!allowed) return exitStopped;
  if (settings.verbose) reportExcludedFolders(settings.filters);
  if (settings.verbose) reportTaggedFolders(settings);
  PassInput input = {&settings,
                     &run->folders,
                     &run->log,
                     source == scanComplete,
                     destination != scanIncomplete,
                     &seams->reconcile,
                     &seams->copy};
  int status = reconcileTables(input, summary);
  summary->filtered = settings.filters != nullptr;
  summary->foldersLeftOut = countExcludedFolders(settings.filters);
  summary->filesLeftOut = sourceTable.excludedFiles;
  summary->linksLeftOut = sourceTable.linksLeftOut;
  summary->othersLeftOut = sourceTable.othersLeftOut;
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

namespace {
// Reads the command line and makes the checks that come before the lock: the roots,
// the options, the patterns, the folders apart, the backup folder. Returns 0 when
// the run may go on, else its exit status.
int readRun(Run* run, int argc, char** argv) {
  RunSettings* settings = &run->settings;
  buildPathKeyTable();
  if (takeRoots(settings, argv)) return exitStopped;
  if (readArguments(argc, argv, settings, &run->filters)) return exitStopped;
  if (int stop = prepareRunFilters(&run->filters)) return stop;
  settings->filters = runFilterSet(run->filters);
  if (!settings->quiet)
    consolePrintf("Mirroring source [%s] to destination folder [%s]\n", settings->sourceRoot,
                  settings->destinationRoot);
  tellJsonStart(*settings, argc, argv);
  run->startTold = settings->jsonOutput;
  settings->destinationRootLength = static_cast<int32_t>(strlen(settings->destinationRoot));
  settings->sourceRootLength = static_cast<int32_t>(strlen(settings->sourceRoot));
  if (checkRootsApart(settings->destinationRoot, settings->sourceRoot)) return exitStopped;
  if (checkBackupFolder(settings)) return exitStopped;
  return 0;
}

// Lists, reconciles and ends the run that holds its destination's lock; returns its
// exit status.
// Opens the roots the run reads and changes, once, before anything is listed: the
// destination (or, where it is not made yet, its nearest existing folder) and the
// source. A root that cannot be held is told by its listing; one the run would
// write through may be neither the source nor lie in it, as it was reached.
int holdRunFolders(Run* run) {
  const RunSettings& settings = run->settings;
  RunFolders* folders = &run->folders;
  holdFolder(&folders->destination, settings.destinationRoot);
  FileIdentity source;
  if (holdFolder(&folders->source, settings.sourceRoot) != folderDone ||
      heldFolderIdentity(&folders->source, &source) != 0 ||
      !heldFolderLiesWithin(&folders->destination, source))
    return 0;
  consolePrintf("The destination folder [%s] lies inside the source folder [%s] !\n",
                settings.destinationRoot, settings.sourceRoot);
  return 1;
}

void releaseRunFolders(RunFolders* folders) {
  releaseHeldFolder(&folders->backupRun);
  releaseHeldFolder(&folders->backup);
  releaseHeldFolder(&folders->source);
  releaseHeldFolder(&folders->destination);
}

// Everything the run does between its start and its summary, once its folders are
// held: from the first change on, nothing is changed by a whole path.
int listAndReconcile(Run* run, int64_t startMs) {
  RunSettings* settings = &run->settings;
  settings->filters = runFilterSet(run->filters);
  installInterruptHandler();
  // A log asked for and not opened: the run goes on, but is no success.
  int logMissing = settings->logEnabled && openRunLog(&run->log, runLogName(*settings)) != 0;
  beginHeldChanges();
  if (initEntryTables()) {
    consolePrintf("Memory allocation failure !\n");
    closeRunLog(&run->log, settings->noSync);
    freeEntryTables();
    return exitOutOfMemory;
  }
  beginProgress(!settings->quiet);
  int shownOnTerminal = progressShown();
  PassSummary& summary = run->summary;
  int status = scanAndReconcile(run, &summary);
  endProgress();
  // The run stopped as an interruption stops it, its copies removed or put in place.
  if (int failure = memoryRanOut()) {
    if (status != exitOutOfMemory) consolePrintf("%s", memoryFailureLine(failure));
    status = exitOutOfMemory;
  }
  // The log is part of what a run reports: a log not on disk is no success.
  if (closeRunLog(&run->log, settings->noSync) && status != interruptedExitStatus) {
    consolePrintf("The log could not be written to disk completely !\n");
    if (status == exitSuccess) status = exitSomeFailed;
  }
  if (logMissing && status == exitSuccess) status = exitSomeFailed;
  if (status == exitSuccess) status = keepNewestBackupRuns(*settings, &run->folders, summary.moved);
  freeEntryTables();
  // The progress line gives way to the summary, which stays.
  printSummary(*settings, summary, status, progressClockMs() - startMs, shownOnTerminal);
  return status;
}

int runLocked(Run* run, int64_t startMs) {
  RunSettings* settings = &run->settings;
  int status = exitStopped;
  if (holdRunFolders(run) || makeBackupRunFolder(settings, &run->folders, time(nullptr))) {
    releaseRunFolders(&run->folders);
    return status;
  }
  if (fitRunFiltersTo(&run->filters, settings->destinationRoot))
    status = exitOutOfMemory;
  else
    status = listAndReconcile(run, startMs);
  endHeldChanges();
  removeEmptyBackupRunFolder(*settings, &run->folders);
  releaseRunFolders(&run->folders);
  return status;
}

int runWith(Run* run, int argc, char** argv, int64_t startMs) {
  int status = readRun(run, argc, argv);
  if (status == 0 && lockRunDestination(run->settings, run->seams)) status = exitStopped;
  if (status == 0) {
    status = runLocked(run, startMs);
    releaseRunDestination();
  }
  // Every run that told its start tells its end, however it ended.
  if (run->startTold) tellJsonEnd(run->settings, run->summary, status, progressClockMs() - startMs);
  return status;
}

int runStarted(int argc, char** argv, const RunSeams* seams, int64_t startMs) {
  // A quiet run prints nothing that does not tell of a failure or a stop.
  if (!asksForQuiet(argc, argv))
    consolePrintf("Talven Package v" TALVEN_VERSION
                  " - folder mirror by the Talven developers\n\n");
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
  Run* run = new (std::nothrow) Run;
  if (!run) {
    consolePrintf("Memory allocation failure !\n");
    return exitOutOfMemory;
  }
  resetRunSettings(&run->settings);
  run->log = RunLog{nullptr, nullptr, 0};
  run->folders = noRunFolders;
  run->seams = seams ? seams : &noRunSeams;
  run->summary = PassSummary{};
  run->startTold = 0;
  int status = runWith(run, argc, argv, startMs);
  delete run;
  return status;
}
}  // namespace

int runTalvenWith(int argc, char** argv, const RunSeams* seams) {
  beginMemoryWatch();
  int64_t startMs = progressClockMs();
  // With --json, standard output carries the JSON objects alone from the banner on.
  setJsonOutput(asksForJson(argc, argv));
  int status = runStarted(argc, argv, seams, startMs);
  setJsonOutput(0);
  return status;
}
