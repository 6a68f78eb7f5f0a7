#include "reconcile/deletion_guard.h"

#include <cctype>
#include <cstring>

#include "base/paths.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "platform/platform.h"

namespace {
// The deletions the passes will decide, and those of them newer than a given time.
struct PlannedDeletions {
  int32_t count;
  int32_t newer;   ///< deletions of files newer than the time
  int32_t newest;  ///< the destination entry of the newest of those, or -1
};

// True when the destination entry is the file the open log is written to.
bool isTheOpenLog(const RunSettings& settings, const OpenLog& log, const FileEntry& entry) {
  char path[pathBufferSize];
  FileIdentity identity;
  if (!log.known || joinPath(path, settings.destinationRoot, entry.relativePath)) return false;
  return fileIdentity(path, &identity) == 0 && sameFileIdentity(identity, log.identity);
}

// Counts the deletions, and among them those of files whose last-write time is later
// than newerThan.
void planDeletions(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                   int sourceListingComplete, int64_t newerThan, PlannedDeletions* planned) {
  *planned = PlannedDeletions{0, 0, -1};
  if (!sourceListingComplete) return;
  // The twins claimed as the update pass claims them, one after another: a
  // destination entry claimed once is no twin for a later source entry.
  for (int32_t s = 0; s < sourceTable.count; ++s) {
    const FileEntry& source = sourceTable.entries[s];
    int32_t twin = source.clash ? -1 : findTwin(index, &destinationTable, source);
    if (twin >= 0) destinationTable.entries[twin].handled = 1;
  }
  int64_t newest = newerThan;
  for (int32_t d = 0; d < destinationTable.count; ++d) {
    FileEntry& destination = destinationTable.entries[d];
    if (!destination.handled && !isTheOpenLog(settings, log, destination)) {
      ++planned->count;
      // Only files are work to lose: a link's or a folder's time says nothing of it.
      int64_t time =
          destination.kind == entryFile ? fileTimeValue(destination.lastWriteTime) : INT64_MIN;
      planned->newer += time > newerThan;
      if (time > newest) {
        newest = time;
        planned->newest = d;
      }
    }
    destination.handled = 0;
  }
}

int64_t newestSourceTime() {
  int64_t newest = INT64_MIN;
  for (int32_t s = 0; s < sourceTable.count; ++s) {
    if (sourceTable.entries[s].kind != entryFile) continue;
    int64_t time = fileTimeValue(sourceTable.entries[s].lastWriteTime);
    if (time > newest) newest = time;
  }
  return newest;
}

// A run that deletes files newer than every source file asks the person at the
// terminal first: folders typed the wrong way round (talven docs backup, as cp and
// rsync take them) would delete the newest work. Nothing is lost with -p or
// --backup-dir, --yes answers for the person, and a run with no person at the
// terminal (a script, a scheduled run) goes on as it always did. An empty source
// is the empty-source net's affair.
bool asksFirst(const RunSettings& settings, int sourceListingComplete) {
  return !settings.previewOnly && !settings.backupDir && !settings.assumeYes &&
         sourceListingComplete && sourceTable.count > 0 && personAtTerminal();
}

// True for y, Y and yes in any case, spaces around them allowed.
bool saysYes(const char* answer) {
  while (*answer == ' ' || *answer == '\t') ++answer;
  size_t length = strlen(answer);
  while (length > 0 && isspace(static_cast<unsigned char>(answer[length - 1]))) --length;
  const char* yes = "yes";
  if (length != 1 && length != 3) return false;
  for (size_t i = 0; i < length; ++i)
    if (tolower(static_cast<unsigned char>(answer[i])) != yes[i]) return false;
  return true;
}

// Asks before the deletions of files newer than every source file; 0 when they may
// go on, else the run's exit status.
int confirmNewerDeletions(const RunSettings& settings, const PlannedDeletions& planned) {
  if (planned.newer == 0) return 0;
  const bool one = planned.newer == 1;
  char answer[16];
  int result = askOnTerminal(
      answer, sizeof answer,
      "The run would delete %d file%s newer than every file of the source, %s[%s%s]; the "
      "folder to update comes first: this makes [%s] a mirror of [%s]. Delete %s? [y/N] ",
      planned.newer, one ? "" : "s", one ? "" : "the newest ", settings.destinationRoot,
      destinationTable.entries[planned.newest].relativePath, settings.destinationRoot,
      settings.sourceRoot, one ? "it" : "them");
  if (result == answerInterrupted) return interruptedExitStatus;
  if (result == answerGiven && saysYes(answer)) return 0;
  consolePrintf("The deletions were not confirmed: nothing was changed !\n");
  return exitStopped;
}
}  // namespace

int32_t countDeletions(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                       int sourceListingComplete) {
  PlannedDeletions planned;
  planDeletions(settings, log, index, sourceListingComplete, INT64_MAX, &planned);
  return planned.count;
}

int deletionsRefused(const RunSettings& settings, const OpenLog& log, const TwinIndex* index,
                     int sourceListingComplete) {
  bool emptySource = sourceTable.count == 0 && !settings.allowEmptySource;
  int32_t maxDeletions = settings.maxDeletions;
  bool ask = asksFirst(settings, sourceListingComplete);
  if (!emptySource && maxDeletions == noDeletionCap && !ask) return 0;
  PlannedDeletions planned;
  planDeletions(settings, log, index, sourceListingComplete, ask ? newestSourceTime() : INT64_MAX,
                &planned);
  int32_t deletions = planned.count;
  const char* plural = deletions == 1 ? "" : "s";
  if (emptySource && deletions > 0) {
    consolePrintf(
        "The source folder [%s] holds no file: the run would delete the destination's %d "
        "file%s; nothing was changed (give --allow-empty-source to allow it) !\n",
        settings.sourceRoot, deletions, plural);
    return exitStopped;
  }
  if (maxDeletions != noDeletionCap && deletions > maxDeletions) {
    consolePrintf(
        "The run would delete %d file%s, more than --max-delete=%d allows: nothing was "
        "changed !\n",
        deletions, plural, maxDeletions);
    return exitStopped;
  }
  return ask ? confirmNewerDeletions(settings, planned) : 0;
}
