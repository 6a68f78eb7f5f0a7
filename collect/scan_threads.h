// The two scan threads and the collectors that fill the entry tables.
#pragma once

#include <cstdint>

#include "platform/platform.h"

/// How a scan ended; the thread's result.
enum ScanOutcome {
  scanComplete = 0,        ///< every file of the tree is in the table
  scanRootMissing = 1,     ///< the root does not exist; the table is empty
  scanRootUnreadable = 2,  ///< the root exists but could not be listed
  scanIncomplete = 3,      ///< something below the root could not be listed or was left out
  scanAborted = 4,         ///< stopped by Escape or an interruption
  scanNotStarted = 5,      ///< the thread could not be started
};

extern PlatformThread* destinationScanThread;
extern PlatformThread* sourceScanThread;

/// Table entry callbacks of the two walkers.
int collectDestinationEntry(const char* directory, const char* name, uint32_t sizeLow,
                            uint32_t sizeHigh, int32_t flags, uint32_t timeLow, uint32_t timeHigh);
int collectSourceEntry(const char* directory, const char* name, uint32_t sizeLow, uint32_t sizeHigh,
                       int32_t flags, uint32_t timeLow, uint32_t timeHigh);

/// Thread procedures: list the tree at root into their table; return a ScanOutcome.
unsigned destinationScanProc(void* root);
unsigned sourceScanProc(void* root);

/// Start the scan threads; null when a thread could not be started.
PlatformThread* startDestinationScan(const char* root);
PlatformThread* startSourceScan(const char* root);

/// Prints "Excluded [path]" for each folder the filters left out of either listing,
/// once for a folder left out of both, ordered by path; after both scans ended.
void reportExcludedFolders();
/// The number of folders reportExcludedFolders names.
int32_t countExcludedFolders();

/// Waits for a scan thread started above and returns its ScanOutcome
/// (scanNotStarted for a thread that never started).
int waitForScan(PlatformThread* thread);
