#include "run/summary.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/progress.h"
#include "base/settings.h"
#include "platform/platform.h"

namespace {
// The time taken: 0.4 s, 12.5 s, then 1:05 and 1:02:03.
void formatDuration(char* text, size_t size, int64_t elapsedMs) {
  if (elapsedMs < 0) elapsedMs = 0;
  int64_t seconds = elapsedMs / 1000;
  if (seconds < 60)
    snprintf(text, size, "%.1f s", static_cast<double>(elapsedMs) / 1000.0);
  else if (seconds < 3600)
    snprintf(text, size, "%" PRId64 ":%02" PRId64, seconds / 60, seconds % 60);
  else
    snprintf(text, size, "%" PRId64 ":%02" PRId64 ":%02" PRId64, seconds / 3600, seconds / 60 % 60,
             seconds % 60);
}
}  // namespace

namespace {
// Appends ", N older versions put back" and ", N changed in metadata" (an exact
// mirror's), ", N links left out", ", N special files left out" and ", N metadata
// left out", each only where there were some.
void appendKindsLeftOut(char* text, size_t size, const PassSummary& counts) {
  struct Part {
    int32_t count;
    const char* one;
    const char* many;
  } parts[] = {{counts.olderUpdates, " older version put back", " older versions put back"},
               {counts.metadataChanged, " changed in metadata", " changed in metadata"},
               {counts.linksLeftOut, " link left out", " links left out"},
               {counts.othersLeftOut, " special file left out", " special files left out"},
               {counts.metadataLeftOut, " metadata left out", " metadata left out"}};
  size_t used = strlen(text);
  for (const Part& part : parts) {
    if (part.count <= 0 || used >= size) continue;
    char number[32];
    formatCount(number, sizeof number, part.count);
    int written = snprintf(text + used, size - used, ", %s%s", number,
                           part.count == 1 ? part.one : part.many);
    if (written > 0) used += static_cast<size_t>(written);
  }
}
}  // namespace

int summaryKindOf(int status, int previewOnly) {
  if (status != exitSuccess && status != exitSomeFailed) return summaryStopped;
  return previewOnly ? summaryPreview : summaryDone;
}

void formatSummary(char* line, size_t size, const PassSummary& counts, int kind, int64_t elapsedMs,
                   int toBackup) {
  char copies[32], updates[32], deletions[32], kept[32], failures[32], bytes[32], took[32];
  formatCount(copies, sizeof copies, counts.copies);
  formatCount(updates, sizeof updates, counts.updates);
  // With a backup folder, what is not in the source is moved there, not deleted,
  // and so is what the updates replace.
  formatCount(deletions, sizeof deletions, toBackup ? counts.moved : counts.deletions);
  formatCount(kept, sizeof kept, counts.keptNewer);
  formatCount(failures, sizeof failures, counts.failures);
  formatBytes(bytes, sizeof bytes, static_cast<double>(counts.bytesCopied));
  formatDuration(took, sizeof took, elapsedMs);
  // What the filters left out, only where some were given: else the line stays as it was.
  char leftOut[96] = "";
  if (counts.filtered) {
    char folders[32], files[32];
    formatCount(folders, sizeof folders, counts.foldersLeftOut);
    formatCount(files, sizeof files, counts.filesLeftOut);
    snprintf(leftOut, sizeof leftOut, ", %s folder%s and %s file%s left out", folders,
             counts.foldersLeftOut == 1 ? "" : "s", files, counts.filesLeftOut == 1 ? "" : "s");
  }
  // What the source held that no mirror holds, only where it held some: nothing
  // goes without a word.
  char kinds[256] = "";
  appendKindsLeftOut(kinds, sizeof kinds, counts);
  // Files gone from the source since the listing, only where there were some.
  char vanished[64] = "";
  if (counts.vanished > 0) {
    char number[32];
    formatCount(number, sizeof number, counts.vanished);
    snprintf(vanished, sizeof vanished, ", %s vanished", number);
  }
  // A preview tells what a run would do; the others what was done.
  bool preview = kind == summaryPreview;
  const char* deleted = preview ? "to delete" : "deleted";
  if (toBackup) deleted = preview ? "to move to the backup folder" : "moved to the backup folder";
  snprintf(line, size,
           "%s: %s %s, %s %s (%s), %s %s, %s newer in the destination kept%s%s, %s failed%s, in %s",
           kind == summaryDone ? "Done"
           : preview           ? "Preview"
                               : "Stopped",
           copies, preview ? "to copy" : "copied", updates, preview ? "to update" : "updated",
           bytes, deletions, deleted, kept, leftOut, kinds, failures, vanished, took);
}

void printSummary(const RunSettings& settings, const PassSummary& counts, int status,
                  int64_t elapsedMs, int shownOnTerminal) {
  char line[512];
  formatSummary(line, sizeof line, counts, summaryKindOf(status, settings.previewOnly), elapsedMs,
                settings.backupDir != nullptr);
  // With --json the summary is no line of standard output: once on standard error.
  if (settings.jsonOutput) {
    if (settings.printStats || shownOnTerminal) errorPrintf("%s\n", line);
    return;
  }
  if (settings.printStats) consolePrintf("%s\n", line);
  if (shownOnTerminal && !(settings.printStats && outputIsTerminal())) errorPrintf("%s\n", line);
}
