// The run's settings: one record, filled by the command line and the checks made at
// the start, then handed to the scans, the passes and the copy room, which only read
// it. Large on Windows (its path buffers): it lives on the heap.
#pragma once

#include <cstdint>

#include "platform/metadata.h"
#include "platform/platform.h"

struct FilterSet;

/// Size of the transfer buffer of the file copier.
constexpr int copyBufferSize = 32768;
/// The most --workers may ask for.
constexpr int32_t mostCopyWorkers = 64;
/// maxDeletions when no cap was given.
constexpr int32_t noDeletionCap = -1;
/// The most --max-delete may be given.
constexpr int32_t mostDeletionCap = 2147483647;
/// The most run folders --backup-keep may keep.
constexpr int32_t mostBackupKeep = 10000;
/// Parts of an exact mirror (--exact, --preserve=LIST), bits of RunSettings::preserve.
enum PreservePart {
  preserveLinks = 1,      ///< links as links
  preserveHardLinks = 2,  ///< names of one file as names of one file
  preserveFolders = 4,    ///< every folder, empty ones too, with its time; others removed
  preserveOlder = 8,      ///< a file whose time differs either way is copied
  // The metadata, each a MetadataPart (platform/metadata.h) shifted by metadataShift:
  preserveMode = 16,         ///< permission bits
  preserveOwner = 32,        ///< owner and group
  preserveXattrs = 64,       ///< extended attributes
  preserveAcls = 128,        ///< access lists (Windows: the security descriptor)
  preserveAttributes = 256,  ///< Windows attributes
};
/// preserve >> metadataShift holds the MetadataPart bits of a run.
constexpr int metadataShift = 4;
/// Every part: what --exact asks for.
constexpr int32_t preserveAll = preserveLinks | preserveHardLinks | preserveFolders |
                                preserveOlder | preserveMode | preserveOwner | preserveXattrs |
                                preserveAcls | preserveAttributes;

/// The MetadataPart bits (platform/metadata.h) a preserve value asks for.
constexpr int metadataPartsOf(int32_t preserve) {
  return (preserve >> metadataShift) & metadataAll;
}

/// Name of the run log, in the current directory.
constexpr const char* logFileName = ".mirror_log";

struct RunSettings {
  /// The folder to update, without trailing separators, and its length: cut off every
  /// full destination path.
  char destinationRoot[pathBufferSize];
  int32_t destinationRootLength;
  /// The source folder, likewise.
  char sourceRoot[pathBufferSize];
  int32_t sourceRootLength;
  /// -v: progress messages are printed.
  int32_t verbose;
  /// -l (or --log): the run log is opened.
  int32_t logEnabled;
  /// -p: everything is reported and logged, nothing is changed.
  int32_t previewOnly;
  /// --no-sync: copies, renames and deletions are not waited for on disk.
  int32_t noSync;
  /// --delete-excluded: destination files the filters leave out are deleted too.
  int32_t deleteExcluded;
  /// --workers=N: threads that write copies, 1 for none beside the deciding one; 0
  /// (the default) lets the copier choose by the processors it may use.
  int32_t copyWorkers;
  /// --allow-empty-source: a source whose listing holds no file may empty the destination.
  int32_t allowEmptySource;
  /// --max-delete=N: the most deletions a run may decide, or noDeletionCap.
  int32_t maxDeletions;
  /// --yes: the run deletes destination files newer than every source file without
  /// asking the person at the terminal (who is asked otherwise).
  int32_t assumeYes;
  /// --stats: the summary line is printed on standard output at the end of the run.
  int32_t printStats;
  /// -q (or --quiet): the banner, the run line, "Nothing to do" and the progress line
  /// are left out; what tells of a failure or a stop is printed as always.
  int32_t quiet;
  /// --json: standard output carries JSON Lines alone (base/json_events.h); the
  /// console lines go to standard error.
  int32_t jsonOutput;
  /// --log=FILE: the file the log is appended to instead of logFileName; null when
  /// not given. The argument itself, which lives as long as the run.
  const char* logFilePath;
  /// --backup-dir=DIR: the folder that takes every file the run deletes or replaces;
  /// null when not given.
  const char* backupDir;
  /// --backup-keep=N: at the end of a run that succeeded, the run folders of the
  /// backup folder beyond the N newest are removed; 0 when not given.
  int32_t backupKeep;
  /// The folder this run moves those files into: backupDir's, named by the run's start;
  /// empty without --backup-dir. With -p it is the name the run would make.
  char backupRunFolder[pathBufferSize];
  /// backupDir as the destination's listing spells it (the destination root, a
  /// separator and the path below it) where it lies inside the destination; else empty.
  char backupInDestination[pathBufferSize];
  /// --exact or --preserve=LIST: the PreservePart bits the run keeps; 0 by default.
  int32_t preserve;
  /// The compiled patterns of the run, or null when none was given.
  const FilterSet* filters;
};

/// Exit statuses of a run.
enum ExitStatus {
  exitSuccess = 0,      ///< completed, every decided action succeeded (or preview)
  exitSomeFailed = 1,   ///< completed, but an action failed or deletions were skipped
  exitStopped = 2,      ///< stopped before changing anything
  exitOutOfMemory = 3,  ///< memory for the tables ran out
};

/// True when the run keeps any metadata: its listings then read it.
/// The kinds of metadata the run keeps: those it asks for that the system has at all.
inline int runMetadataParts(const RunSettings& settings) {
  return metadataPartsOf(settings.preserve) & metadataOfSystem;
}
/// True when the run keeps any metadata: its listings then read it.
inline bool keepsMetadata(const RunSettings& settings) {
  return runMetadataParts(settings) != 0;
}

/// Puts every setting at its start value.
void resetRunSettings(RunSettings* settings);

/// The file the run log is appended to: --log's, else logFileName in the current directory.
inline const char* runLogName(const RunSettings& settings) {
  return settings.logFilePath ? settings.logFilePath : logFileName;
}
