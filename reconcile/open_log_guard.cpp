// A copy onto the open log would replace the file it is written to: its history and
// this run's lines would be gone, and the lines still to come would go to a file no
// name leads to.
#include "reconcile/open_log_guard.h"

#include "run/failure_report.h"
#include "run/settings.h"

namespace {
struct OpenLog {
  FileIdentity identity;
  int known;
};
OpenLog openLog;
}  // namespace

void rememberOpenLog() {
  openLog.known = 0;
  if (!logFile) return;
  // The file itself, also where the log's name is a link to it.
  char resolved[pathBufferSize];
  openLog.known = resolveFullPath(runLogName(), resolved, sizeof resolved) == 0 &&
                  fileIdentity(resolved, &openLog.identity) == 0;
}

const FileIdentity* openLogIdentity() {
  return openLog.known ? &openLog.identity : nullptr;
}

int targetsOpenLog(const char* path, const char* action) {
  FileIdentity identity;
  if (!openLog.known || fileIdentity(path, &identity) != 0 ||
      identity.volume != openLog.identity.volume || identity.index != openLog.identity.index)
    return 0;
  if (verbose) consolePrintf("Kept the log [%s]: this run writes to it !\n", path);
  reportFailure(action, path, nullptr, failureIsOpenLog);
  return 1;
}
