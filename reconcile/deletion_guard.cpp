#include "reconcile/deletion_guard.h"

#include "base/paths.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "platform/platform.h"

namespace {
// True when the destination entry is the file the open log is written to.
bool isTheOpenLog(const RunSettings& settings, const OpenLog& log, const FileEntry& entry) {
  char path[pathBufferSize];
  FileIdentity identity;
  if (!log.known || joinPath(path, settings.destinationRoot, entry.relativePath)) return false;
  return fileIdentity(path, &identity) == 0 && sameFileIdentity(identity, log.identity);
}
}  // namespace

int32_t countDeletions(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                       int sourceListingComplete) {
  if (!sourceListingComplete) return 0;
  // The twins claimed as the update pass claims them, one after another: a
  // destination entry claimed once is no twin for a later source entry.
  for (int32_t s = 0; s < sourceTable.count; ++s) {
    const FileEntry& source = sourceTable.entries[s];
    int32_t twin = source.clash ? -1 : findTwin(index, &destinationTable, source);
    if (twin >= 0) destinationTable.entries[twin].handled = 1;
  }
  int32_t deletions = 0;
  for (int32_t d = 0; d < destinationTable.count; ++d) {
    FileEntry& destination = destinationTable.entries[d];
    if (!destination.handled && !isTheOpenLog(settings, log, destination)) ++deletions;
    destination.handled = 0;
  }
  return deletions;
}

int deletionsRefused(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                     int sourceListingComplete) {
  bool emptySource = sourceTable.count == 0 && !settings.allowEmptySource;
  int32_t maxDeletions = settings.maxDeletions;
  if (!emptySource && maxDeletions == noDeletionCap) return 0;
  int32_t deletions = countDeletions(settings, log, index, sourceListingComplete);
  const char* plural = deletions == 1 ? "" : "s";
  if (emptySource && deletions > 0) {
    consolePrintf(
        "The source folder [%s] holds no file: the run would delete the destination's %d "
        "file%s; nothing was changed (give --allow-empty-source to allow it) !\n",
        settings.sourceRoot, deletions, plural);
    return 1;
  }
  if (maxDeletions != noDeletionCap && deletions > maxDeletions) {
    consolePrintf(
        "The run would delete %d file%s, more than --max-delete=%d allows: nothing was "
        "changed !\n",
        deletions, plural, maxDeletions);
    return 1;
  }
  return 0;
}
