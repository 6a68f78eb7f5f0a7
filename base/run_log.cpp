#include "base/run_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/failure_report.h"
#include "base/paths.h"
#include "base/version.h"
#include "platform/folders.h"
#include "platform/platform.h"

namespace {
void append(RunLog* log, const char* text, size_t length) {
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    diversion->take(diversion->sink, outputLog, text, length);
    return;
  }
  appendToLog(log, text, length);
}
}  // namespace

void appendToLog(RunLog* log, const char* text, size_t length) {
  if (!log->file) return;
  if (appendToFile(log->file, text, length) == 0 || log->writeFailed) return;
  int code = lastFailureCode();
  log->writeFailed = 1;
  reportFailure("write the log", log->name, nullptr, code);
}

int openRunLog(RunLog* log, const char* name) {
  *log = RunLog{nullptr, name, 0};
  // Through the folder that holds it, held for this: the log is the one file the run
  // writes that it reaches by a name, and only its last name may be a link.
  size_t folderLength = folderPartLength(name);
  char* folder = static_cast<char*>(malloc(folderLength + 2));
  HeldFolder held = {noFolder, nullptr, 0};
  int code = ENOMEM;
  if (folder) {
    memcpy(folder, folderLength > 0 ? name : ".", folderLength > 0 ? folderLength : 1);
    folder[folderLength > 0 ? folderLength : 1] = '\0';
    holdFolder(&held, folder);
    log->file = openLogIn(&held, name + folderLength);
    code = lastFailureCode();
    releaseHeldFolder(&held);
    free(folder);
  }
  if (!log->file) {
    reportFailure("open the log", name, nullptr, code);
    return 1;
  }
  logText(log, "\nTALVEN " TALVEN_VERSION " by the Talven developers - LOG section\n");
  return 0;
}

void logAction(RunLog* log, const char* verb, const char* relativePath, const uint64_t* size) {
  if (!log->file) return;
  // One line, one write: a line is never split by another run's, and one written
  // before its action is in the file even if the process is killed during it.
  size_t capacity = strlen(verb) + escapedLength(relativePath) + 32;
  char small[1024];
  char* line = capacity <= sizeof small ? small : static_cast<char*>(malloc(capacity));
  if (!line) {
    log->writeFailed = 1;
    return;
  }
  size_t verbLength = strlen(verb);
  memcpy(line, verb, verbLength);
  line[verbLength] = ' ';
  char* end = writeEscaped(line + verbLength + 1, relativePath);
  if (size) end += snprintf(end, 24, "\t%" PRIu64, *size);
  *end++ = '\n';
  append(log, line, static_cast<size_t>(end - line));
  if (line != small) free(line);
}

void logMoved(RunLog* log, const char* relativePath, const char* backupPath) {
  if (!log->file) return;
  size_t capacity = escapedLength(relativePath) + escapedLength(backupPath) + 16;
  char* line = static_cast<char*>(malloc(capacity));
  if (!line) {
    log->writeFailed = 1;
    return;
  }
  memcpy(line, "Moved ", 6);
  char* end = writeEscaped(line + 6, relativePath);
  *end++ = '\t';
  end = writeEscaped(end, backupPath);
  *end++ = '\n';
  append(log, line, static_cast<size_t>(end - line));
  free(line);
}

void logText(RunLog* log, const char* text) {
  if (log->file) append(log, text, strlen(text));
}

int closeRunLog(RunLog* log, int noSync) {
  if (!log->file) return 0;
  logText(log, "\n\n");
  int failed = log->writeFailed;
  if (noSync ? fflush(log->file) != 0 : syncStreamToDisk(log->file) != 0) failed = 1;
  if (fclose(log->file) != 0) failed = 1;
  log->file = nullptr;
  return failed;
}
