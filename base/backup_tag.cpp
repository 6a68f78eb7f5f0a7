#include "base/backup_tag.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

bool isBackupTagName(const char* name) {
  // Most names are told apart by their first byte: no fold is needed for them.
  return name[0] == '.' && pathNamesEqual(name, backupTagName);
}

bool isBackupTag(const char* start, size_t length) {
  size_t signature = strlen(backupTagSignature);
  if (length < signature || memcmp(start, backupTagSignature, signature) != 0) return false;
  return length == signature || start[signature] == '\n' || start[signature] == '\r';
}

bool holdsBackupTag(const char* folderPath, const char* name) {
  size_t folderLength = strlen(folderPath);
  size_t nameLength = strlen(name);
  char* path = static_cast<char*>(malloc(folderLength + nameLength + 2));
  if (!path) return false;
  memcpy(path, folderPath, folderLength);
  if (folderLength == 0 || !isPathSeparator(folderPath[folderLength - 1]))
    path[folderLength++] = pathSeparator;
  memcpy(path + folderLength, name, nameLength + 1);
  char start[backupTagBytes];
  long got = readFileStart(path, start, sizeof start);
  free(path);
  return got > 0 && isBackupTag(start, static_cast<size_t>(got));
}
