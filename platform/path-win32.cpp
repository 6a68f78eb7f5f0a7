// Windows bodies of the path operations: resolving.
// Paths are UTF-8; they are resolved through the wide calls.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/utf16-win32.h"

namespace {
int isSeparator(char c) {
  return c == '\\' || c == '/';
}

// The final path of what path names, links and junctions followed, in its plain
// drive-letter or UNC form; 1 when path cannot be opened or the result does not fit.
int finalPath(const char* path, char* out, size_t outSize) {
  WidePath wide(path);
  if (!wide.text) return 1;
  HANDLE file = CreateFileW(wide.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
  wchar_t* final = size ? static_cast<wchar_t*>(malloc(size * sizeof(wchar_t))) : nullptr;
  DWORD length = final ? GetFinalPathNameByHandleW(file, final, size, FILE_NAME_NORMALIZED) : 0;
  CloseHandle(file);
  int failed = length == 0 || length >= size || narrowPath(final, length, out, outSize);
  free(final);
  return failed;
}

// The absolute form of path, in UTF-8, into full (pathBufferSize bytes); 0 on success.
int absolutePath(const char* path, char* full) {
  wchar_t* wide = widenText(path, strlen(path), 0, nullptr);
  if (!wide) return 1;
  DWORD size = GetFullPathNameW(wide, 0, nullptr, nullptr);
  wchar_t* absolute = size ? static_cast<wchar_t*>(malloc(size * sizeof(wchar_t))) : nullptr;
  DWORD length = absolute ? GetFullPathNameW(wide, size, absolute, nullptr) : 0;
  int failed = length == 0 || length >= size || length > widePathLimit ||
               narrowPath(absolute, length, full, pathBufferSize);
  free(absolute);
  free(wide);
  return failed;
}

// Length of the part of an absolute path that no link can replace, its closing
// separator included (C:\ for a drive, \\server\share\ for a share).
size_t rootLength(const char* full) {
  if (full[0] != '\0' && full[1] == ':') return isSeparator(full[2]) ? 3 : 2;
  if (!isSeparator(full[0])) return 0;
  if (!isSeparator(full[1])) return 1;
  size_t at = 2;
  for (int separators = 0; full[at] != '\0'; ++at)
    if (isSeparator(full[at]) && ++separators == 2) return at + 1;
  return at;
}

// Where the next shorter prefix of full ends: just before the separator before
// end, or just after it when that separator closes the root. 0 when none is left.
size_t shorterPrefix(const char* full, size_t end, size_t root) {
  size_t at = end;
  while (at > 0 && !isSeparator(full[at - 1])) --at;
  if (at == 0) return 0;
  size_t separator = at - 1;
  if (separator >= root) return separator;
  return separator + 1 == root && root < end ? root : 0;
}

// Resolves full (absolute, length bytes) into out, using resolved (pathBufferSize
// bytes) for the resolved prefix.
int resolveAbsolute(char* full, size_t length, char* resolved, char* out, size_t outSize) {
  size_t root = rootLength(full);
  size_t end = length;
  while (end > 0) {
    char kept = full[end];
    full[end] = '\0';
    int found = finalPath(full, resolved, pathBufferSize) == 0;
    full[end] = kept;
    if (found) break;
    end = shorterPrefix(full, end, root);
  }
  if (end == 0) {
    if (length + 1 > outSize) return 1;
    memcpy(out, full, length + 1);
    return 0;
  }
  const char* rest = full + end;
  size_t resolvedLength = strlen(resolved);
  if (resolvedLength > 0 && isSeparator(resolved[resolvedLength - 1]) && isSeparator(*rest)) ++rest;
  if (resolvedLength + strlen(rest) + 1 > outSize) return 1;
  memcpy(out, resolved, resolvedLength);
  strcpy(out + resolvedLength, rest);
  return 0;
}
}  // namespace

// Makes the path absolute, then follows links as far as the path exists: the
// longest existing prefix is resolved and the missing rest kept as written, as the
// folders that the copies create will make it.
int resolveFullPath(const char* path, char* out, size_t outSize) {
  // Two path buffers: too large for the stack of every caller.
  char* full = static_cast<char*>(malloc(2 * static_cast<size_t>(pathBufferSize)));
  if (!full) return 1;
  int failed = absolutePath(path, full) ||
               resolveAbsolute(full, strlen(full), full + pathBufferSize, out, outSize);
  free(full);
  return failed;
}

int isPathSeparator(char c) {
  return isSeparator(c);
}

namespace {
// The path without a device prefix (\\?\ or \\.\), \\?\UNC\server\share given as
// \\server\share, into out (pathBufferSize bytes); 1 when it does not fit. Sets
// prefixed when there was such a prefix.
int withoutDevicePrefix(const char* path, char* out, int* prefixed) {
  const char* rest = path;
  int unc = 0;
  *prefixed = isSeparator(path[0]) && isSeparator(path[1]) && (path[2] == '?' || path[2] == '.') &&
              isSeparator(path[3]);
  if (*prefixed) {
    rest = path + 4;
    unc = _strnicmp(rest, "UNC", 3) == 0 && isSeparator(rest[3]);
    if (unc) rest += 4;
  }
  size_t length = strlen(rest);
  if (length + 3 > static_cast<size_t>(pathBufferSize)) return 1;
  size_t at = 0;
  if (unc) {
    out[at++] = '\\';
    out[at++] = '\\';
  }
  memcpy(out + at, rest, length + 1);
  return 0;
}

// True when an absolute path is a root and nothing more: X:\ or \\server\share\, or a
// volume's own name (Volume{...}\) once its device prefix is gone.
int isBareRoot(const char* full) {
  size_t length = strlen(full);
  while (length > 0 && isSeparator(full[length - 1])) --length;
  if (length == 0) return 1;
  size_t root = rootLength(full);
  if (root == 0) {
    // No drive and no share: a volume name is one component.
    for (size_t at = 0; at < length; ++at)
      if (isSeparator(full[at])) return 0;
    return 1;
  }
  return root >= length;
}

// isBareRoot of the absolute form of path, device prefix first taken off.
int absoluteIsRoot(const char* path, char* work) {
  char* stripped = work;
  char* full = work + pathBufferSize;
  int prefixed = 0;
  if (withoutDevicePrefix(path, stripped, &prefixed)) return 0;
  // A volume name has no absolute form of its own: it is one already.
  if (prefixed && !isSeparator(stripped[0]) && stripped[1] != ':') return isBareRoot(stripped);
  return absolutePath(stripped, full) == 0 && isBareRoot(full);
}
}  // namespace

int isVolumeRootName(const char* root) {
  // With its separator back on, as the walker lists it: X: is the root of drive X.
  size_t length = strlen(root);
  if (length + 2 > static_cast<size_t>(pathBufferSize)) return 0;
  char* work = static_cast<char*>(malloc(3 * static_cast<size_t>(pathBufferSize)));
  if (!work) return 0;
  char* withSeparator = work + 2 * static_cast<size_t>(pathBufferSize);
  memcpy(withSeparator, root, length);
  memcpy(withSeparator + length, "\\", 2);
  int isRoot = absoluteIsRoot(withSeparator, work);
  // A junction or a substituted drive that leads to a root is one too.
  if (!isRoot && resolveFullPath(withSeparator, work + pathBufferSize, pathBufferSize) == 0)
    isRoot = absoluteIsRoot(work + pathBufferSize, work);
  free(work);
  return isRoot;
}
