#include "run/run_log.h"

#include <cstdio>

#include "platform/platform.h"
#include "run/settings.h"
#include "run/version.h"

void openRunLog() {
  logFile = openFileForAppending(logFileName);
  if (logFile)
    fprintf(logFile, "\nTALVEN " TALVEN_VERSION " by the Talven developers - LOG section\n");
}

int closeRunLog() {
  if (!logFile) return 0;
  fprintf(logFile, "\n\n");
  int failed = noSync ? fflush(logFile) != 0 : syncFileData(logFile) != 0;
  if (fclose(logFile) != 0) failed = 1;
  logFile = nullptr;
  return failed;
}
