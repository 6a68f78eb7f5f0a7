// Process-wide run settings: written by the run sequence before the scan threads
// start, only read afterwards.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

/// Size of the transfer buffer of the file copier.
constexpr int copyBufferSize = 32768;

/// The folder to update, without trailing separators.
extern char destinationRoot[pathBufferSize];
/// The source folder, without trailing separators.
extern char sourceRoot[pathBufferSize];
/// Length of destinationRoot; cut off every full destination path.
extern int32_t destinationRootLength;
/// Length of sourceRoot; cut off every full source path.
extern int32_t sourceRootLength;
/// -v: progress messages are printed.
extern int32_t verbose;
/// -l: the run log is opened.
extern int32_t logEnabled;
/// -p: everything is reported and logged, nothing is changed.
extern int32_t previewOnly;
/// --no-sync: copies, renames and deletions are not waited for on disk.
extern int32_t noSync;
/// --delete-excluded: destination files the filters leave out are deleted too.
extern int32_t deleteExcluded;
/// --workers=N: threads that write copies, 1 for none beside the deciding one; 0
/// (the default) lets the copier choose by the processors it may use.
extern int32_t copyWorkers;
/// The most --workers may ask for.
constexpr int32_t mostCopyWorkers = 64;
/// --log=FILE: the file the run log is appended to instead of logFileName (the option
/// also sets logEnabled); null when not given.
extern const char* logFilePath;
/// --allow-empty-source: a source whose listing holds no file may empty the destination.
extern int32_t allowEmptySource;
/// --max-delete=N: the most deletions a run may decide, or noDeletionCap.
extern int32_t maxDeletions;
/// maxDeletions when no cap was given.
constexpr int32_t noDeletionCap = -1;
/// The most --max-delete may be given.
constexpr int32_t mostDeletionCap = 2147483647;
/// --stats: the summary line is printed on standard output at the end of the run.
extern int32_t printStats;
/// --backup-dir=DIR: the folder that takes every file the run deletes or replaces;
/// null when not given.
extern const char* backupDir;
/// The folder this run moves those files into: backupDir's, named by the run's start;
/// empty without --backup-dir. With -p it is the name the run would make.
extern char backupRunFolder[pathBufferSize];
/// backupDir as the destination's listing spells it (the destination root, a
/// separator and the path below it) where it lies inside the destination; else empty.
extern char backupInDestination[pathBufferSize];
/// The open run log, or null; every log write is skipped while it is null.
extern FILE* logFile;

/// Name of the run log, in the current directory.
constexpr const char* logFileName = ".mirror_log";

/// The file the run log is appended to: --log's, else logFileName in the current directory.
inline const char* runLogName() {
  return logFilePath ? logFilePath : logFileName;
}

/// Exit statuses of a run.
enum ExitStatus {
  exitSuccess = 0,      ///< completed, every decided action succeeded (or preview)
  exitSomeFailed = 1,   ///< completed, but an action failed or deletions were skipped
  exitStopped = 2,      ///< stopped before changing anything
  exitOutOfMemory = 3,  ///< memory for the tables ran out
};

/// Puts every setting back to its start value (used between in-process runs of tests).
void resetRunSettings();
