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

// Source names ending as partial names do, by key; empty in nearly every run. Made
// at the first copy of a run, so that a run without copies never pays for it.
struct PartialNameGuard {
  GuardedName* names;
  size_t count;
  int made;
  int failed;  ///< memory ran out: every partial name counts as taken
};
PartialNameGuard guard;

// True when a relative path ends as a partial name does: in the suffix, or in the
// suffix and a number. Only such a name can be one a partial file would take.
bool endsLikePartial(const char* path) {
  size_t length = strlen(path);
  if (length >= suffixLength &&
      memcmp(path + length - suffixLength, partialSuffix, suffixLength) == 0)
    return true;
  return length >= suffixLength + 2 && path[length - 2] == '-' &&
         memcmp(path + length - 2 - suffixLength, partialSuffix, suffixLength) == 0;
}

bool keyBefore(const GuardedName& a, const GuardedName& b) {
  return a.key < b.key;
}

// True when path, below the destination root, names a guarded source file.
bool isGuarded(const char* path) {
  if (guard.failed) return true;
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

// The keys are computed afresh: the passes overwrite those of handled entries.
void guardSourcePartialNames() {
  guard.made = 1;
  size_t count = 0;
  for (int32_t i = 0; i < sourceTable.count; ++i)
    count += endsLikePartial(sourceTable.entries[i].relativePath);
  if (count == 0) return;
  guard.names = static_cast<GuardedName*>(malloc(sizeof(GuardedName) * count));
  guard.failed = guard.names == nullptr;
  if (guard.failed) return;
  for (int32_t i = 0; i < sourceTable.count; ++i) {
    const char* path = sourceTable.entries[i].relativePath;
    if (endsLikePartial(path))
      guard.names[guard.count++] = GuardedName{computePathKey(path, strlen(path)), path};
  }
  std::sort(guard.names, guard.names + guard.count, keyBefore);
}
}  // namespace

void releasePartialNameGuard() {
  free(guard.names);
  guard = PartialNameGuard{nullptr, 0, 0, 0};
}

int choosePathToWrite(const char* destinationPath, char* writePath) {
  if (!guard.made) guardSourcePartialNames();
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
