#include "run/run_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "run/failure_report.h"
#include "run/settings.h"
#include "run/version.h"

namespace {
// Set once an append failed: the log is then not whole, which the run reports at
// its end. The first failure alone gets its line.
int logWriteFailed;

void append(const char* text, size_t length) {
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    diversion->take(diversion->sink, outputLog, text, length);
    return;
  }
  appendToLog(text, length);
}
}  // namespace

void appendToLog(const char* text, size_t length) {
  if (!logFile) return;
  if (appendToFile(logFile, text, length) == 0 || logWriteFailed) return;
  int code = lastFailureCode();
  logWriteFailed = 1;
  reportFailure("write the log", runLogName(), nullptr, code);
}

int openRunLog() {
  logWriteFailed = 0;
  logFile = openFileForAppending(runLogName());
  if (!logFile) {
    reportFailure("open the log", runLogName(), nullptr, lastFailureCode());
    return 1;
  }
  logText("\nTALVEN " TALVEN_VERSION " by the Talven developers - LOG section\n");
  return 0;
}

void logAction(const char* verb, const char* relativePath, const uint64_t* size) {
  if (!logFile) return;
  // One line, one write: a line is never split by another run's, and one written
  // before its action is in the file even if the process is killed during it.
  size_t capacity = strlen(verb) + escapedLength(relativePath) + 32;
  char small[1024];
  char* line = capacity <= sizeof small ? small : static_cast<char*>(malloc(capacity));
  if (!line) {
    logWriteFailed = 1;
    return;
  }
  size_t verbLength = strlen(verb);
  memcpy(line, verb, verbLength);
  line[verbLength] = ' ';
  char* end = writeEscaped(line + verbLength + 1, relativePath);
  if (size) end += snprintf(end, 24, "\t%" PRIu64, *size);
  *end++ = '\n';
  append(line, static_cast<size_t>(end - line));
  if (line != small) free(line);
}

void logMoved(const char* relativePath, const char* backupPath) {
  if (!logFile) return;
  size_t capacity = escapedLength(relativePath) + escapedLength(backupPath) + 16;
  char* line = static_cast<char*>(malloc(capacity));
  if (!line) {
    logWriteFailed = 1;
    return;
  }
  memcpy(line, "Moved ", 6);
  char* end = writeEscaped(line + 6, relativePath);
  *end++ = '\t';
  end = writeEscaped(end, backupPath);
  *end++ = '\n';
  append(line, static_cast<size_t>(end - line));
  free(line);
}

void logText(const char* text) {
  if (logFile) append(text, strlen(text));
}

int closeRunLog() {
  if (!logFile) return 0;
  logText("\n\n");
  int failed = logWriteFailed;
  if (noSync ? fflush(logFile) != 0 : syncStreamToDisk(logFile) != 0) failed = 1;
  if (fclose(logFile) != 0) failed = 1;
  logFile = nullptr;
  return failed;
}
