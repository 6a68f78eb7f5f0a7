#include "run/run_log.h"

#include <cstdio>

#include "platform/platform.h"
#include "run/settings.h"

void openRunLog() {
  logFile = openFileForAppending(logFileName);
  if (logFile) fprintf(logFile, "\nTALVEN 0.61 by the Talven developers - LOG section\n");
}

void closeRunLog() {
  if (!logFile) return;
  fprintf(logFile, "\n\n");
  fclose(logFile);
  logFile = nullptr;
}
