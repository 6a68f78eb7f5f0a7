// The two scan threads and the collectors that fill the entry tables.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct FilterSet;
struct LeftOutFile;
struct RunSettings;
struct ScanSeams;

/// How a scan ended; the thread's result.
enum ScanOutcome {
  scanComplete = 0,        ///< every file of the tree is in the table
  scanRootMissing = 1,     ///< the root does not exist; the table is empty
  scanRootUnreadable = 2,  ///< the root exists but could not be listed
  scanIncomplete = 3,      ///< something below the root could not be listed or was left out
  scanAborted = 4,         ///< stopped by Escape or an interruption
  scanNotStarted = 5,      ///< the thread could not be started
  scanHoldsOtherRoot = 6,  ///< the tree holds the other tree's root: the listing stopped
};

/// What one scan thread lists, and what its tree must not hold.
struct ScanRequest {
  const char* root;
  /// The other tree's root or, where that does not exist yet, the folder the copies
  /// are to make it in: met in this tree, the trees overlap (scanHoldsOtherRoot).
  FileIdentity otherRoot;
  int32_t otherRootKnown;       ///< 0: there is none to look for
  const RunSettings* settings;  ///< -v, --delete-excluded, the backup folder in the tree
  const FilterSet* filters;     ///< the run's patterns, or null
  const ScanSeams* seams;       ///< the run's test seams, or null
  const LeftOutFile* leftOutFile = nullptr;  ///< a file left out of the listing: the log
  /// Written by the scan: why its root could not be listed (a code of
  /// lastFailureCode or an OwnFailure), for the refusal that names it; else 0.
  int32_t rootFailure = 0;
};

extern PlatformThread* destinationScanThread;
extern PlatformThread* sourceScanThread;

/// Table entry callbacks of the two walkers.
int collectDestinationEntry(const char* directory, const char* name, uint32_t sizeLow,
                            uint32_t sizeHigh, int32_t flags, uint32_t timeLow, uint32_t timeHigh);
int collectSourceEntry(const char* directory, const char* name, uint32_t sizeLow, uint32_t sizeHigh,
                       int32_t flags, uint32_t timeLow, uint32_t timeHigh);

/// Thread procedures: list the tree of a ScanRequest into their table, and tell its
/// rootFailure; return a ScanOutcome. Every folder not listed whole but a root not
/// listed at all gets its failure line on standard error.
unsigned destinationScanProc(void* request);
unsigned sourceScanProc(void* request);

/// Start the scan threads; null when a thread could not be started. The request
/// must live until waitForScan, and is read only after it.
PlatformThread* startDestinationScan(ScanRequest* request);
PlatformThread* startSourceScan(ScanRequest* request);

/// Prints "Excluded [path]" for each folder the filters left out of either listing,
/// once for a folder left out of both, ordered by path; after both scans ended.
void reportExcludedFolders(const FilterSet* filters);
/// Prints "Passed over [path]: ..." for each folder below either root that holds the
/// backup tag, the destination's first, as the walks met them; after both scans ended.
void reportTaggedFolders(const RunSettings& settings);
/// The number of folders reportExcludedFolders names.
int32_t countExcludedFolders(const FilterSet* filters);

/// Waits for a scan thread started above and returns its ScanOutcome
/// (scanNotStarted for a thread that never started).
int waitForScan(PlatformThread* thread);
