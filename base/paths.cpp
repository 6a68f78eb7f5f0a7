#include "base/paths.h"

#include <cstring>

#include "platform/platform.h"

int takeRoot(char* root, const char* argument) {
  size_t length = strlen(argument);
  if (length >= static_cast<size_t>(pathBufferSize)) return rootTooLong;
  while (length > 0 && isPathSeparator(argument[length - 1])) --length;
  if (length == 0) return rootEmpty;
  memcpy(root, argument, length);
  root[length] = '\0';
  return rootTaken;
}

// A root is resolved with one separator after it, which also makes a bare drive (C:)
// name the drive's root.
int resolveRoot(const char* root, char* resolved) {
  char withSeparator[pathBufferSize + 1];
  size_t length = strlen(root);
  memcpy(withSeparator, root, length);
  withSeparator[length] = pathSeparator;
  withSeparator[length + 1] = '\0';
  if (resolveFullPath(withSeparator, resolved, pathBufferSize)) return 1;
  length = strlen(resolved);
  if (length == 0 || !isPathSeparator(resolved[length - 1])) {
    if (length + 2 > static_cast<size_t>(pathBufferSize)) return 1;
    resolved[length] = pathSeparator;
    resolved[length + 1] = '\0';
  }
  return 0;
}

// When one of the folders on the way down to inner is outer, inner lies within it.
int liesWithin(const char* inner, const char* outer) {
  FileIdentity outerIdentity;
  if (fileIdentity(outer, &outerIdentity)) return 0;
  char prefix[pathBufferSize];
  size_t length = strlen(inner);
  memcpy(prefix, inner, length + 1);
  for (size_t at = 0; at < length; ++at) {
    if (!isPathSeparator(inner[at])) continue;
    prefix[at + 1] = '\0';
    FileIdentity identity;
    if (fileIdentity(prefix, &identity) == 0 && identity.volume == outerIdentity.volume &&
        identity.index == outerIdentity.index)
      return 1;
    prefix[at + 1] = inner[at + 1];
  }
  return 0;
}

int holdsPath(const char* outer, const char* inner) {
  size_t length = strlen(outer);
  return (strlen(inner) >= length && pathNamesEqualN(outer, inner, length)) ||
         liesWithin(inner, outer);
}

int nearestFolderIdentity(const char* resolved, FileIdentity* identity) {
  char prefix[pathBufferSize];
  size_t length = strlen(resolved);
  memcpy(prefix, resolved, length + 1);
  while (length > 0) {
    if (fileIdentity(prefix, identity) == 0) return 0;
    // Up one level: the separators at the end, then the last name.
    while (length > 0 && isPathSeparator(prefix[length - 1])) --length;
    prefix[length] = '\0';
    length = folderPartLength(prefix);
    prefix[length] = '\0';
  }
  return 1;
}

size_t folderPartLength(const char* path) {
  size_t length = strlen(path);
  while (length > 0 && !isPathSeparator(path[length - 1])) --length;
  return length;
}

int folderOfPath(const char* path, char* folder) {
  folder[0] = '\0';
  if (strlen(path) + 1 > static_cast<size_t>(pathBufferSize)) return 1;
  size_t length = folderPartLength(path);
  memcpy(folder, path, length);
  folder[length] = '\0';
  // One separator is taken off: D:\backup\docs\ gives D:\backup\docs.
  if (length > 0 && folder[length - 1] == pathSeparator) folder[length - 1] = '\0';
  return 0;
}

int joinPath(char* full, const char* root, const char* relativePath) {
  size_t rootLength = strlen(root);
  size_t relativeLength = strlen(relativePath);
  if (rootLength + relativeLength + 1 > static_cast<size_t>(pathBufferSize)) return 1;
  memcpy(full, root, rootLength);
  memcpy(full + rootLength, relativePath, relativeLength + 1);
  return 0;
}
