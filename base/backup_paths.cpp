#include "base/backup_paths.h"

#include <cstring>

#include "base/paths.h"
#include "base/settings.h"

int backupPathFor(const RunSettings& settings, const char* relativePath, char* out) {
  return joinPath(out, settings.backupRunFolder, relativePath);
}

int liesInFolder(const char* relativePath, const char* folder, int foldCase) {
  size_t length = strlen(folder);
  if (!foldCase)
    return strlen(relativePath) > length && pathNamesEqualN(relativePath, folder, length) &&
           isPathSeparator(relativePath[length]);
  // Letter by letter, as a file system that ignores case matches names.
  size_t at = 0;
  size_t in = 0;
  size_t pathLength = strlen(relativePath);
  while (in < length) {
    if (at >= pathLength) return 0;
    char a[8], b[8];
    size_t aLength = 0, bLength = 0;
    at += foldCaseCharacter(relativePath + at, pathLength - at, a, &aLength);
    in += foldCaseCharacter(folder + in, length - in, b, &bLength);
    if (aLength != bLength || memcmp(a, b, aLength) != 0) return 0;
  }
  return at < pathLength && isPathSeparator(relativePath[at]);
}

int liesInBackupFolder(const RunSettings& settings, const char* relativePath, int foldCase) {
  if (!settings.backupInDestination[0]) return 0;
  return liesInFolder(relativePath, settings.backupInDestination + strlen(settings.destinationRoot),
                      foldCase);
}
