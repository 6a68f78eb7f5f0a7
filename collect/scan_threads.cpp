#include "collect/scan_threads.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/backup_tag.h"
#include "base/failure_report.h"
#include "base/memory.h"
#include "base/progress.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "platform/metadata.h"
#include "scan/tree_walker.h"

PlatformThread* destinationScanThread;
PlatformThread* sourceScanThread;

namespace {
// A table that cannot grow ends the run the one way memory running out does, before
// anything is reconciled: the listing stops, and the run tells it and ends.
void collect(EntryTable* table, const char* directory, const char* name, uint32_t sizeLow,
             uint32_t sizeHigh, int32_t flags, uint32_t timeLow, uint32_t timeHigh) {
  // Once memory ran out the run is ending: the rest of the listing is passed over.
  if (memoryRanOut()) return;
  uint64_t size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
  if (addFileEntry(table, directory, name, table->rootLength, size, FileTime{timeLow, timeHigh}) !=
      addFileStored) {
    onTableExhausted();
    return;
  }
  table->entries[table->count - 1].excluded = (flags & entryExcluded) ? 1 : 0;
}

void collectWalked(EntryTable* table, const WalkedEntry& walked) {
  if (memoryRanOut()) return;
  if (addKindEntry(table, walked.directory, walked.name, table->rootLength, walked.kind,
                   walked.size, walked.lastWrite, walked.target, walked.links,
                   walked.identity) != addFileStored ||
      (table->keepsMetadata && addEntryMetadata(table, walked.metadata) != addFileStored)) {
    onTableExhausted();
    return;
  }
  table->entries[table->count - 1].excluded = (walked.flags & entryExcluded) ? 1 : 0;
}

void collectWalkedDestination(const WalkedEntry& walked) {
  collectWalked(&destinationTable, walked);
  noteListed(progressDestination);
}

void collectWalkedSource(const WalkedEntry& walked) {
  collectWalked(&sourceTable, walked);
  noteListed(progressSource);
}

// With -v, what the source's walk leaves out for its kind is told: nothing goes
// without a word (the summary counts them).
void tellKindLeftOut(const char* directory, const char* name, int kind) {
  consolePrintf("Left out [%s%s]: %s !\n", directory, name,
                kind == entryLink ? "a link that is not followed" : "neither a file nor a folder");
}

// The walk as the run's parts ask: links as they are, folders reported with their
// times, and the names of hard-linked files.
void setWalkParts(TreeWalker* walker, const RunSettings& settings, int isDestination) {
  int preserve = settings.preserve;
  walker->listAs = ((preserve & preserveLinks) ? listLinksAsIs : 0) |
                   ((preserve & preserveFolders) ? listFolderTimes : 0) |
                   ((preserve & preserveHardLinks) ? listFileLinks : 0) |
                   (keepsMetadata(settings) ? listMetadata : 0);
  walker->reportFolders = (preserve & preserveFolders) != 0;
  walker->walkedCallback = isDestination ? collectWalkedDestination : collectWalkedSource;
  // Only the source's are the mirror's loss; and only -v names them, in an exact run.
  if (!isDestination && settings.verbose && preserve) walker->kindLeftOutCallback = tellKindLeftOut;
}

// An excluded folder goes untold with -v when there is no memory to note it.
void noteDestinationExcluded(const char* directory, const char* name) {
  addExcludedFolder(&destinationTable, directory, name, destinationTable.rootLength);
}

void noteSourceExcluded(const char* directory, const char* name) {
  addExcludedFolder(&sourceTable, directory, name, sourceTable.rootLength);
}

// A tagged folder that goes unnoted would let a copy land in it: the run ends as
// when the table cannot grow.
void noteDestinationTagged(const char* folder) {
  if (addTaggedFolder(&destinationTable, folder, destinationTable.rootLength)) onTableExhausted();
}

void noteSourceTagged(const char* folder) {
  if (addTaggedFolder(&sourceTable, folder, sourceTable.rootLength)) onTableExhausted();
}

void reportSkipped(const char* directory, const char* name, const char* reason) {
  consolePrintf("Skipped [%s%s]: %s !\n", directory, name, reason);
}

// A folder not listed whole is a failure of the run, told with or without -v.
void reportUnlisted(const char* folder, int code) {
  reportFailure("list the folder", folder, nullptr, code);
}

// What a walk left out is kept for the run to tell (--json), and told with -v.
void noteSkipped(EntryTable* table, const char* directory, const char* name, const char* reason) {
  addSkippedEntry(table, directory, name, table->rootLength, reason);
  if (table->tellSkipped) reportSkipped(directory, name, reason);
}

void noteDestinationSkipped(const char* directory, const char* name, const char* reason) {
  noteSkipped(&destinationTable, directory, name, reason);
}

void noteSourceSkipped(const char* directory, const char* name, const char* reason) {
  noteSkipped(&sourceTable, directory, name, reason);
}

unsigned scan(ScanRequest* request, EntryTable* table, EntryCallback collector,
              ExcludedCallback noteExcluded, int isDestination) {
  const RunSettings& settings = *request->settings;
  TreeWalker* walker = new TreeWalker(collector);
  walker->skipCallback = isDestination ? noteDestinationSkipped : noteSourceSkipped;
  walker->unlistedCallback = reportUnlisted;
  walker->walkReparseFolders = !isDestination;
  if (request->otherRootKnown) walker->foreignFolder = &request->otherRoot;
  // The backup folder in the destination is the run's own, as its log is: never listed.
  if (isDestination && settings.backupInDestination[0])
    walker->passedOverFolder = settings.backupInDestination;
  // Excluded destination files are listed only to be deleted.
  walker->filters = request->filters;
  walker->walkExcluded = isDestination && settings.deleteExcluded;
  walker->excludedCallback = noteExcluded;
  walker->taggedCallback = isDestination ? noteDestinationTagged : noteSourceTagged;
  walker->leftOutFile = request->leftOutFile;
  if (request->seams) walker->seams = *request->seams;
  setWalkParts(walker, settings, isDestination);
  table->count = 0;
  table->linkedCount = 0;
  table->rootTime = FileTime{0, 0};
  if (settings.preserve & preserveFolders) getFileTime(request->root, &table->rootTime);
  table->keepsMetadata = keepsMetadata(settings);
  table->rootMetadata = EntryMetadata{};
  if (table->keepsMetadata) readEntryMetadata(request->root, &table->rootMetadata);
  table->rootLength = static_cast<int32_t>(strlen(request->root));
  clearExcludedFolders(table);
  clearTaggedFolders(table);
  clearSkippedEntries(table);
  table->tellSkipped = settings.verbose;
  walker->setOptions(1);
  walker->walk(request->root);
  table->excludedFiles = walker->excludedFiles;
  table->linksLeftOut = walker->linksLeftOut;
  table->othersLeftOut = walker->othersLeftOut;
  request->rootFailure = walker->rootFailure;
  unsigned outcome = scanComplete;
  if (walker->foreignFolderMet)
    outcome = scanHoldsOtherRoot;
  else if (walker->abortRequested)
    outcome = scanAborted;
  else if (walker->rootResult == enumerateMissing)
    outcome = scanRootMissing;
  else if (walker->rootResult == enumerateUnreadable)
    outcome = scanRootUnreadable;
  else if (walker->incomplete)  // also a root read only in part (enumerateBroken)
    outcome = scanIncomplete;
  delete walker;
  return outcome;
}
}  // namespace

int collectDestinationEntry(const char* directory, const char* name, uint32_t sizeLow,
                            uint32_t sizeHigh, int32_t flags, uint32_t timeLow, uint32_t timeHigh) {
  collect(&destinationTable, directory, name, sizeLow, sizeHigh, flags, timeLow, timeHigh);
  noteListed(progressDestination);
  return destinationTable.count;
}

int collectSourceEntry(const char* directory, const char* name, uint32_t sizeLow, uint32_t sizeHigh,
                       int32_t flags, uint32_t timeLow, uint32_t timeHigh) {
  collect(&sourceTable, directory, name, sizeLow, sizeHigh, flags, timeLow, timeHigh);
  noteListed(progressSource);
  return sourceTable.count;
}

unsigned destinationScanProc(void* request) {
  if (static_cast<const ScanRequest*>(request)->settings->verbose)
    consolePrintf("Thread 1 running - listing destination directory !\n");
  return scan(static_cast<ScanRequest*>(request), &destinationTable, collectDestinationEntry,
              noteDestinationExcluded, 1);
}

unsigned sourceScanProc(void* request) {
  if (static_cast<const ScanRequest*>(request)->settings->verbose)
    consolePrintf("Thread 2 running - listing source directory !\n");
  return scan(static_cast<ScanRequest*>(request), &sourceTable, collectSourceEntry,
              noteSourceExcluded, 0);
}

PlatformThread* startDestinationScan(ScanRequest* request) {
  destinationScanThread = startThread(destinationScanProc, request);
  return destinationScanThread;
}

PlatformThread* startSourceScan(ScanRequest* request) {
  sourceScanThread = startThread(sourceScanProc, request);
  return sourceScanThread;
}

namespace {
// The folders left out of either listing, each once, by the form the patterns saw
// (which folds case where they fold it), in the source's spelling where both hold it.
std::vector<const char*> excludedFolderPaths(const FilterSet* filters) {
  std::vector<std::pair<std::string, const char*>> folders;
  for (const EntryTable* table : {&sourceTable, &destinationTable}) {
    for (int32_t i = 0; filters && i < table->excludedFolderCount; ++i) {
      const char* path = table->excludedFolders[i];
      std::string form;
      for (size_t at = 0, length = strlen(path); at < length;) {
        char folded[8];
        size_t foldedLength = 1;
        folded[0] = path[at];
        at += filters->foldCase ? foldCaseCharacter(path + at, length - at, folded, &foldedLength)
                                : 1;
        form.append(folded, foldedLength);
      }
      folders.emplace_back(form, path);
    }
  }
  std::stable_sort(folders.begin(), folders.end(),
                   [](const std::pair<std::string, const char*>& a,
                      const std::pair<std::string, const char*>& b) { return a.first < b.first; });
  std::vector<const char*> paths;
  for (size_t i = 0; i < folders.size(); ++i)
    if (i == 0 || folders[i].first != folders[i - 1].first) paths.push_back(folders[i].second);
  return paths;
}
}  // namespace

void reportExcludedFolders(const FilterSet* filters) {
  try {
    for (const char* path : excludedFolderPaths(filters)) consolePrintf("Excluded [%s]\n", path);
  } catch (const std::bad_alloc&) {
    // -v lines only: the run goes on without them.
  }
}

void reportTaggedFolders(const RunSettings& settings) {
  const EntryTable* tables[2] = {&destinationTable, &sourceTable};
  const char* roots[2] = {settings.destinationRoot, settings.sourceRoot};
  for (int t = 0; t < 2; ++t)
    for (int32_t i = 0; i < tables[t]->taggedFolderCount; ++i)
      consolePrintf("Passed over [%s%s]: a backup folder (it holds %s) !\n", roots[t],
                    tables[t]->taggedFolders[i], backupTagName);
}

int32_t countExcludedFolders(const FilterSet* filters) {
  try {
    return static_cast<int32_t>(excludedFolderPaths(filters).size());
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int waitForScan(PlatformThread* thread) {
  unsigned outcome = scanNotStarted;
  if (!thread || waitThread(thread, &outcome)) return scanNotStarted;
  return static_cast<int>(outcome);
}
