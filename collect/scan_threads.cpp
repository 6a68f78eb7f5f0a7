#include "collect/scan_threads.h"

#include <cstdio>
#include <cstdlib>

#include "collect/entry_table.h"
#include "run/progress.h"
#include "run/settings.h"
#include "scan/tree_walker.h"

PlatformThread* destinationScanThread;
PlatformThread* sourceScanThread;

namespace {
// A table that cannot grow ends the whole run before anything is reconciled.
void collect(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
             uint32_t sizeLow, uint32_t sizeHigh, uint32_t timeLow, uint32_t timeHigh) {
  uint64_t size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
  if (addFileEntry(table, directory, name, rootLength, size, FileTime{timeLow, timeHigh}) !=
      addFileStored) {
    consolePrintf("Error reallocating memory resource !\n");
    fflush(stdout);
    exit(exitOutOfMemory);
  }
}

void reportSkipped(const char* directory, const char* name, const char* reason) {
  if (verbose) consolePrintf("Skipped [%s%s]: %s !\n", directory, name, reason);
}

unsigned scan(const ScanRequest* request, EntryTable* table, EntryCallback collector,
              int isDestination) {
  TreeWalker* walker = new TreeWalker(collector);
  walker->skipCallback = reportSkipped;
  walker->walkReparseFolders = !isDestination;
  if (request->otherRootKnown) walker->foreignFolder = &request->otherRoot;
  table->count = 0;
  walker->setOptions(1, 1);
  walker->walk(request->root);
  unsigned outcome = scanComplete;
  if (walker->foreignFolderMet)
    outcome = scanHoldsOtherRoot;
  else if (walker->abortRequested)
    outcome = scanAborted;
  else if (walker->rootResult == enumerateMissing)
    outcome = scanRootMissing;
  else if (walker->rootResult == enumerateUnreadable)
    outcome = scanRootUnreadable;
  else if (walker->incomplete)  // also a root read only in part (enumerateBroken)
    outcome = scanIncomplete;
  delete walker;
  return outcome;
}
}  // namespace

int collectDestinationEntry(const char* directory, const char* name, uint32_t sizeLow,
                            uint32_t sizeHigh, int32_t, uint32_t timeLow, uint32_t timeHigh) {
  collect(&destinationTable, directory, name, destinationRootLength, sizeLow, sizeHigh, timeLow,
          timeHigh);
  noteListed(progressDestination);
  return destinationTable.count;
}

int collectSourceEntry(const char* directory, const char* name, uint32_t sizeLow, uint32_t sizeHigh,
                       int32_t, uint32_t timeLow, uint32_t timeHigh) {
  collect(&sourceTable, directory, name, sourceRootLength, sizeLow, sizeHigh, timeLow, timeHigh);
  noteListed(progressSource);
  return sourceTable.count;
}

unsigned destinationScanProc(void* request) {
  if (verbose) consolePrintf("Thread 1 running - listing destination directory !\n");
  return scan(static_cast<const ScanRequest*>(request), &destinationTable, collectDestinationEntry,
              1);
}

unsigned sourceScanProc(void* request) {
  if (verbose) consolePrintf("Thread 2 running - listing source directory !\n");
  return scan(static_cast<const ScanRequest*>(request), &sourceTable, collectSourceEntry, 0);
}

PlatformThread* startDestinationScan(const ScanRequest* request) {
  destinationScanThread = startThread(destinationScanProc, const_cast<ScanRequest*>(request));
  return destinationScanThread;
}

PlatformThread* startSourceScan(const ScanRequest* request) {
  sourceScanThread = startThread(sourceScanProc, const_cast<ScanRequest*>(request));
  return sourceScanThread;
}

int waitForScan(PlatformThread* thread) {
  unsigned outcome = scanNotStarted;
  if (!thread || waitThread(thread, &outcome)) return scanNotStarted;
  return static_cast<int>(outcome);
}
