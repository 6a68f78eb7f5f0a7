// Partial names: where a copy is written until it takes the destination's name.
#include "copy/partial_name.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/failure_report.h"
#include "base/paths.h"
#include "collect/entry_table.h"

namespace {
// A run cut short thus never leaves a destination file that looks current, only a
// stray partial file, which the next run deletes as a file the source does not have.
constexpr char partialSuffix[] = ".talven-partial";
constexpr size_t suffixLength = sizeof partialSuffix - 1;
constexpr size_t longestName = 255;
// Room after the suffix for "-" and a number.
constexpr size_t numberRoom = 21;
// Names tried for one copy before it fails alone: partial files of killed runs, or
// the user's own files under such names, take the first ones.
constexpr int attempts = 64;

// True when a relative path ends as a partial name does: in the suffix, or in the
// suffix, a dash and digits. Only such a name can be one a partial file would take.
bool endsLikePartial(const char* path) {
  size_t length = strlen(path);
  size_t end = length;
  while (end > 0 && path[end - 1] >= '0' && path[end - 1] <= '9') --end;
  if (end < length && end > 0 && path[end - 1] == '-')
    --end;
  else
    end = length;
  // Letter case is ignored: a destination that folds case takes either for the other.
  for (size_t at = 0; at < suffixLength; ++at) {
    if (end < suffixLength) return false;
    char c = path[end - suffixLength + at];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != partialSuffix[at]) return false;
  }
  return true;
}

bool keyBefore(const GuardedName& a, const GuardedName& b) {
  return a.key < b.key;
}

// True when path, below the destination root, names a guarded source file.
bool isGuarded(const PartialNameGuard* guard, const char* path) {
  if (guard->failed) return true;
  if (guard->count == 0) return false;
  const char* relative = path + guard->rootLength;
  const GuardedName* names = guard->names;
  GuardedName wanted = {computeFoldedPathKey(relative, strlen(relative)), relative};
  auto range = std::equal_range(names, names + guard->count, wanted, keyBefore);
  for (auto at = range.first; at != range.second; ++at)
    if (foldedNamesEqual(at->relativePath, relative)) return true;
  return false;
}

// Forms the candidate numbered number (0: none) for a name at folder (folderLength
// bytes of destinationPath); 0 when it fits capacity.
int formCandidate(const char* destinationPath, size_t folderLength, int ownName, long long number,
                  char* writePath, size_t capacity) {
  int written;
  const char* name = destinationPath + folderLength;
  if (ownName && number == 0)
    written = snprintf(writePath, capacity, "%.*s%s%s", static_cast<int>(folderLength),
                       destinationPath, name, partialSuffix);
  else if (ownName)
    written = snprintf(writePath, capacity, "%.*s%s%s-%lld", static_cast<int>(folderLength),
                       destinationPath, name, partialSuffix, number);
  else
    written = snprintf(writePath, capacity, "%.*s%s-%lld", static_cast<int>(folderLength),
                       destinationPath, partialSuffix, number);
  return written < 0 || static_cast<size_t>(written) >= capacity;
}
}  // namespace

void guardPartialNames(PartialNameGuard* guard, size_t rootLength) {
  guard->rootLength = rootLength;
  guard->names = nullptr;
  guard->count = 0;
  guard->failed = 0;
  guard->nextShortName = 1;
  size_t count = 0;
  for (int32_t i = 0; i < sourceTable.count; ++i)
    count += endsLikePartial(sourceTable.entries[i].relativePath);
  if (count == 0) return;
  GuardedName* names = static_cast<GuardedName*>(malloc(sizeof(GuardedName) * count));
  guard->failed = names == nullptr;
  if (!names) return;
  for (int32_t i = 0; i < sourceTable.count; ++i) {
    const char* path = sourceTable.entries[i].relativePath;
    if (endsLikePartial(path))
      names[guard->count++] = GuardedName{computeFoldedPathKey(path, strlen(path)), path};
  }
  std::sort(names, names + guard->count, keyBefore);
  guard->names = names;
}

void releasePartialNames(PartialNameGuard* guard) {
  free(guard->names);
  guard->names = nullptr;
  guard->count = 0;
}

FileHandle createPartialFile(TreeFolders* folders, PartialNameGuard* guard,
                             const char* destinationPath, unsigned mode, char* writePath,
                             size_t capacity, int* failure) {
  size_t length = strlen(destinationPath);
  size_t folderLength = folderPartLength(destinationPath);
  // A name too long for the suffix gets a short one: a number no other copy of the
  // run takes, so that two copies never share a file.
  int ownName = length - folderLength + suffixLength + numberRoom <= longestName;
  *failure = failurePathTooLong;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    long long number = ownName ? attempt : guard->nextShortName.fetch_add(1);
    if (formCandidate(destinationPath, folderLength, ownName, number, writePath, capacity)) {
      *failure = failurePathTooLong;
      return noFile;
    }
    if (isGuarded(guard, writePath)) continue;
    FileHandle file = createNewFileIn(folders, writePath, mode);
    if (file != noFile) return file;
    *failure = lastFailureCode();
    // Anything standing there is someone else's: the next name is tried. Any other
    // failure (a missing folder, no room, no files left) is the copy's own.
    if (!isAlreadyExists(*failure)) return noFile;
  }
  return noFile;
}
