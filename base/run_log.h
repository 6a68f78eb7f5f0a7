// The run log: its frame (header and trailer) and its lines, each reaching the file
// in one append before its action is tried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

/// The run's log, once opened; every write is skipped while file is null.
struct RunLog {
  FILE* file;
  /// The name it was opened by, for the lines that tell a failure to write it.
  const char* name;
  /// Set once an append failed: the log is then not whole, which the run reports at
  /// its end. The first failure alone gets its line.
  int writeFailed;
};

/// Opens the run log at name (--log's file, else ".mirror_log" in the current
/// directory) for appending and writes the section header. Returns 0, or 1 when it
/// could not be opened: a line on standard error says why, and the run goes on
/// without a log.
int openRunLog(RunLog* log, const char* name);
/// Appends one action line: the verb, a space, the relative path with its control
/// characters escaped, then a tab and the size when size is not null. Nothing
/// without an open log.
void logAction(RunLog* log, const char* verb, const char* relativePath, const uint64_t* size);
/// Appends "Moved", a space, the relative path, a tab and backupPath, where the file
/// went, both escaped as logAction escapes.
void logMoved(RunLog* log, const char* relativePath, const char* backupPath);
/// Appends text as it is. Nothing without an open log.
void logText(RunLog* log, const char* text);
/// Appends length bytes of text at once, never diverted (threadOutputDiversion):
/// how text held back for its turn reaches the log. Nothing without an open log.
void appendToLog(RunLog* log, const char* text, size_t length);
/// Writes the section trailer and closes the log, if it is open, once it is on disk
/// (unless noSync is set). Returns 0, or 1 when the log could not be written whole.
int closeRunLog(RunLog* log, int noSync);
