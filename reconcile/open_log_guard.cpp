// A copy onto the open log would replace the file it is written to: its history and
// this run's lines would be gone, and the lines still to come would go to a file no
// name leads to.
#include "reconcile/open_log_guard.h"

#include "base/failure_report.h"

void rememberOpenLog(OpenLog* log, int isOpen, const char* name) {
  log->known = 0;
  if (!isOpen) return;
  // The file itself, also where the log's name is a link to it.
  char resolved[pathBufferSize];
  log->known = resolveFullPath(name, resolved, sizeof resolved) == 0 &&
               fileIdentity(resolved, &log->identity) == 0;
}

int targetsOpenLog(const OpenLog& log, int verbose, const char* path, const char* action) {
  FileIdentity identity;
  if (!log.known || fileIdentity(path, &identity) != 0 || !sameFileIdentity(identity, log.identity))
    return 0;
  if (verbose) consolePrintf("Kept the log [%s]: this run writes to it !\n", path);
  reportFailure(action, path, nullptr, failureIsOpenLog);
  return 1;
}
