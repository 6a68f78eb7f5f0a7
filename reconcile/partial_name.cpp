// Partial names: where a copy is written until it takes the destination's name.
#include "reconcile/partial_name.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "collect/entry_table.h"
#include "collect/path_key.h"
#include "platform/platform.h"
#include "run/settings.h"

namespace {
// The copy is written beside the destination under this suffix and takes the
// destination's place only once it is complete, carries its time and is on disk. A
// run cut short thus never leaves a destination file that looks current, only a
// stray partial file, which the next run deletes as a file the source does not have.
constexpr char partialSuffix[] = ".talven-partial";
constexpr size_t suffixLength = sizeof partialSuffix - 1;
constexpr size_t longestName = 255;
// Numbered alternatives ("-1" to "-9") tried where the plain name is a source name.
constexpr int alternatives = 10;

struct GuardedName {
  PathKey key;
  const char* relativePath;
};

// Source names holding the suffix, by key; empty in nearly every run.
struct PartialNameGuard {
  GuardedName* names;
  size_t count;
};
PartialNameGuard guard;

bool keyBefore(const GuardedName& a, const GuardedName& b) {
  return a.key < b.key;
}

// True when path, below the destination root, names a guarded source file.
bool isGuarded(const char* path) {
  if (guard.count == 0) return false;
  size_t rootLength = static_cast<size_t>(destinationRootLength);
  if (strlen(path) <= rootLength || !pathNamesEqualN(path, destinationRoot, rootLength))
    return false;
  const char* relative = path + rootLength;
  GuardedName wanted = {computePathKey(relative, strlen(relative)), relative};
  auto range = std::equal_range(guard.names, guard.names + guard.count, wanted, keyBefore);
  for (auto at = range.first; at != range.second; ++at)
    if (pathNamesEqual(at->relativePath, relative)) return true;
  return false;
}
}  // namespace

int guardSourcePartialNames() {
  releasePartialNameGuard();
  size_t count = 0;
  for (int32_t i = 0; i < sourceTable.count; ++i)
    count += strstr(sourceTable.entries[i].relativePath, partialSuffix) != nullptr;
  if (count == 0) return 0;
  guard.names = static_cast<GuardedName*>(malloc(sizeof(GuardedName) * count));
  if (!guard.names) return 1;
  for (int32_t i = 0; i < sourceTable.count; ++i) {
    const FileEntry& entry = sourceTable.entries[i];
    if (strstr(entry.relativePath, partialSuffix))
      guard.names[guard.count++] = GuardedName{entry.key, entry.relativePath};
  }
  std::sort(guard.names, guard.names + guard.count, keyBefore);
  return 0;
}

void releasePartialNameGuard() {
  free(guard.names);
  guard = PartialNameGuard{nullptr, 0};
}

int choosePathToWrite(const char* destinationPath, char* writePath) {
  size_t length = strlen(destinationPath);
  const char* name = destinationPath + length;
  while (name > destinationPath && !isPathSeparator(name[-1])) --name;
  size_t nameLength = static_cast<size_t>(destinationPath + length - name);
  memcpy(writePath, destinationPath, length + 1);
  // Room for the suffix and a number after it.
  size_t longest = suffixLength + 2;
  size_t kept = length;
  if (length + longest + 1 > static_cast<size_t>(pathBufferSize) ||
      nameLength + longest > longestName)
    kept = length - nameLength;
  if (kept + longest + 1 > static_cast<size_t>(pathBufferSize)) return partialNone;
  memcpy(writePath + kept, partialSuffix, suffixLength + 1);
  for (int number = 0; number < alternatives; ++number) {
    if (number > 0) {
      writePath[kept + suffixLength] = '-';
      writePath[kept + suffixLength + 1] = static_cast<char>('0' + number);
      writePath[kept + suffixLength + 2] = '\0';
    }
    if (!isGuarded(writePath)) return kept == length ? partialOwnName : partialSharedName;
  }
  memcpy(writePath, destinationPath, length + 1);
  return partialNone;
}
