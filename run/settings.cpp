#include "run/settings.h"

#include <cstring>

#include "run/run_filters.h"

char destinationRoot[pathBufferSize];
char sourceRoot[pathBufferSize];
int32_t destinationRootLength;
int32_t sourceRootLength;
int32_t verbose;
int32_t logEnabled;
int32_t previewOnly;
int32_t noSync;
int32_t deleteExcluded;
int32_t copyWorkers;
const char* logFilePath;
int32_t allowEmptySource;
int32_t maxDeletions = noDeletionCap;
int32_t printStats;
const char* backupDir;
char backupRunFolder[pathBufferSize];
char backupInDestination[pathBufferSize];
FILE* logFile;

void resetRunSettings() {
  memset(destinationRoot, 0, sizeof destinationRoot);
  memset(sourceRoot, 0, sizeof sourceRoot);
  destinationRootLength = 0;
  sourceRootLength = 0;
  verbose = 0;
  logEnabled = 0;
  previewOnly = 0;
  noSync = 0;
  deleteExcluded = 0;
  copyWorkers = 0;
  logFilePath = nullptr;
  allowEmptySource = 0;
  maxDeletions = noDeletionCap;
  printStats = 0;
  backupDir = nullptr;
  memset(backupRunFolder, 0, sizeof backupRunFolder);
  memset(backupInDestination, 0, sizeof backupInDestination);
  logFile = nullptr;
  resetRunFilters();
}
