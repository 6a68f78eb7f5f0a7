#include "base/backup_paths.h"

#include <cstring>

#include "base/paths.h"
#include "base/settings.h"

int backupPathFor(const RunSettings& settings, const char* relativePath, char* out) {
  return joinPath(out, settings.backupRunFolder, relativePath);
}

int liesInBackupFolder(const RunSettings& settings, const char* relativePath) {
  if (!settings.backupInDestination[0]) return 0;
  const char* below = settings.backupInDestination + strlen(settings.destinationRoot);
  size_t length = strlen(below);
  return strlen(relativePath) > length && pathNamesEqualN(relativePath, below, length) &&
         isPathSeparator(relativePath[length]);
}
