// An exact mirror after the copies: the other names of each copied file linked to it,
// the folders the source lacks removed once empty, what waited for them placed, and
// every folder given its source's time last, once nothing in it changes any more.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/exact_steps.h"
#include "reconcile/passes.h"

namespace {
// The path a source entry's copy has in the destination: its twin's spelling where
// it has one (on POSIX), else its own.
int placeOf(Passes* passes, int32_t s, int32_t twin, char* path, const char* kind) {
  const char* relative = twin >= 0 && !platformIsWindows
                             ? destinationTable.entries[twin].relativePath
                             : sourceTable.entries[s].relativePath;
  return joinFullPath(passes, path, passes->settings->destinationRoot, relative, kind);
}

// The identity the leader's copy has now: read again where this run wrote it.
int leaderIdentity(Passes* passes, int32_t p, const char* leaderPath, FileIdentity* identity) {
  const ExactState& exact = passes->exact;
  int32_t twin = exact.twinOf[p];
  int32_t q = twin >= 0 ? linkedPosition(destinationTable, twin) : -1;
  if (exact.state[p] == nameKept && q >= 0) {
    *identity = destinationTable.linkedNames[q].identity;
    return 0;
  }
  // A preview wrote nothing: a leader it would write has a file of its own then.
  *identity = FileIdentity{0, 0};
  if (passes->settings->previewOnly) return 0;
  int kind = entryOther;
  return entryKindIn(&passes->folders, leaderPath, &kind, identity) != folderDone ||
         kind != entryFile;
}

// True when member p's twin is a name of the leader's file already.
bool alreadyLinked(const Passes* passes, int32_t p, const FileIdentity& leader) {
  int32_t twin = passes->exact.twinOf[p];
  int32_t q = twin >= 0 ? linkedPosition(destinationTable, twin) : -1;
  return q >= 0 && destinationTable.entries[twin].kind == entryFile &&
         sameFileIdentity(destinationTable.linkedNames[q].identity, leader);
}

// Member p placed later, once the folder at its place is gone, or copied (state).
void deferName(Passes* passes, int32_t p, int state) {
  passes->exact.state[p] = static_cast<uint8_t>(state);
  deferEntry(passes, sourceTable.linkedNames[p].entry);
}

void linkMember(Passes* passes, int32_t p, const char* leaderPath) {
  const RunSettings& settings = *passes->settings;
  ExactState& exact = passes->exact;
  int32_t s = sourceTable.linkedNames[p].entry;
  int32_t twin = exact.twinOf[p];
  const FileEntry& source = sourceTable.entries[s];
  if (twin >= 0 && destinationTable.entries[twin].kind == entryFolder) {
    deferName(passes, p, nameWaits);
    return;
  }
  const char* kind = jsonLink;
  char path[pathBufferSize];
  if (placeOf(passes, s, twin, path, kind)) return;
  if (targetsOpenLog(passes->openLog, settings.verbose, path, "replace")) {
    failStep(passes, kind, source.relativePath, "replace", path, failureIsOpenLog);
    return;
  }
  if (settings.verbose) consolePrintf("Linking [%s] to [%s]\n", path, leaderPath);
  logAction(passes->log, twin >= 0 ? "Updated" : "Got", source.relativePath, &source.size);
  ++passes->counts.decided;
  JsonAction told = {kind, source.relativePath, settings.previewOnly ? jsonPreviewed : jsonDone,
                     static_cast<int64_t>(source.size)};
  int made = settings.previewOnly ? folderDone
                                  : makeHardLinkIn(&passes->folders, leaderPath, path, twin >= 0);
  if (made != folderDone) {
    int code = lastFailureCode();
    // A destination that holds no such names takes copies instead.
    if (made == folderRefused && isNoHardLinkFailure(code)) {
      ++exact.copiedNotLinked;
      --passes->counts.decided;
      deferName(passes, p, nameCopied);
      return;
    }
    failStep(passes, kind, source.relativePath, "link", path, code);
    return;
  }
  ++(twin >= 0 ? passes->counts.updates : passes->counts.copies);
  jsonAction(settings, told);
}

// The end of the group that begins at position at of groups.
int32_t groupEnd(const ExactState& exact, int32_t at) {
  int32_t end = at + 1;
  while (end < exact.groupCount &&
         exact.leaderOf[exact.groups[end]] == exact.leaderOf[exact.groups[at]])
    ++end;
  return end;
}

// True when a name of the group waited for a folder to go; the folders that stood at
// their places are gone now.
bool groupWaited(ExactState* exact, int32_t at, int32_t end) {
  bool waited = false;
  for (int32_t k = at; k < end; ++k) {
    int32_t p = exact->groups[k];
    if (exact->state[p] != nameWaits) continue;
    waited = true;
    int32_t twin = exact->twinOf[p];
    if (twin >= 0 && destinationTable.entries[twin].kind == entryFolder) exact->twinOf[p] = -1;
  }
  return waited;
}

// Links the other names of one group to its leader's copy; where that copy is not
// there (it failed, or a folder still stands at its place), they wait or are copied.
// With waitersOnly, only the names that waited for a folder to go: the others were
// linked in the first pass already.
void linkGroup(Passes* passes, int32_t at, int32_t end, bool waitersOnly) {
  ExactState& exact = passes->exact;
  char leaderPath[pathBufferSize];
  int32_t leaderPosition = exact.groups[at];
  FileIdentity leader = {0, 0};
  bool known = placeOf(passes, exact.leaderOf[leaderPosition], exact.twinOf[leaderPosition],
                       leaderPath, jsonCopy) == 0 &&
               leaderIdentity(passes, leaderPosition, leaderPath, &leader) == 0;
  int unknownState = exact.state[leaderPosition] == nameWaits ? nameWaits : nameCopied;
  for (int32_t k = at + 1; k < end; ++k) {
    int32_t p = exact.groups[k];
    if (waitersOnly && exact.state[p] != nameWaits) continue;
    if (waitersOnly) exact.state[p] = nameKept;
    if (!known)
      deferName(passes, p, unknownState);
    else if (!alreadyLinked(passes, p, leader))
      linkMember(passes, p, leaderPath);
  }
}
}  // namespace

void linkNames(Passes* passes, int waiting) {
  ExactState& exact = passes->exact;
  for (int32_t at = 0; at < exact.groupCount && !stopping(passes);) {
    int32_t end = groupEnd(exact, at);
    if (end - at > 1 && (!waiting || groupWaited(&exact, at, end))) {
      // The second time, a leader that waited was copied since: its names are linked
      // now. Where the leader did not wait, only the names that did are linked: the
      // others got their links in the first pass.
      bool leaderWaited = waiting && exact.state[exact.groups[at]] == nameWaits;
      if (leaderWaited) {
        exact.state[exact.groups[at]] = nameRewritten;
        for (int32_t k = at + 1; k < end; ++k)
          if (exact.state[exact.groups[k]] == nameWaits) exact.state[exact.groups[k]] = nameKept;
      }
      linkGroup(passes, at, end, waiting && !leaderWaited);
    }
    at = end;
  }
}

namespace {
int depthOf(const char* relativePath) {
  int depth = 0;
  for (const char* at = relativePath; *at; ++at) depth += isPathSeparator(*at);
  return depth;
}

// One destination folder the source lacks, now that what it held is gone: removed
// where it is empty (with --backup-dir, made in the backup folder too, as its files
// were moved there). One that still holds what the mirror leaves alone (what the
// filters leave out, a backup folder, a failed deletion) stays, and is no failure.
void removeFolder(Passes* passes, const FileEntry& folder) {
  const RunSettings& settings = *passes->settings;
  int toBackup = settings.backupRunFolder[0] != '\0';
  const char* kind = toBackup ? jsonMove : jsonDelete;
  char path[pathBufferSize];
  if (joinFullPath(passes, path, settings.destinationRoot, folder.relativePath, kind)) return;
  if (toBackup &&
      joinFullPath(passes, passes->backupPath, settings.backupRunFolder, folder.relativePath, kind))
    return;
  int removed = folderDone;
  if (!settings.previewOnly) {
    if (toBackup) makeFoldersIn(&passes->backup, passes->backupPath, nullptr);
    removed = removeEmptyFolderIn(&passes->folders, path);
  }
  int code = removed == folderRefused ? lastFailureCode() : 0;
  if (removed == folderMissing) return;
  if (removed == folderRefused && isFolderNotEmpty(code)) {
    if (settings.verbose)
      consolePrintf("Kept [%s]: it holds what the mirror leaves alone !\n", path);
    return;
  }
  ++passes->counts.decided;
  if (removed == folderRefused) {
    failStep(passes, kind, folder.relativePath, "delete", path, code);
    return;
  }
  if (settings.verbose) consolePrintf("We need to delete %s\n", path);
  if (toBackup)
    logMoved(passes->log, folder.relativePath, passes->backupPath);
  else
    logAction(passes->log, "Deleted", folder.relativePath, nullptr);
  ++(toBackup ? passes->counts.moved : passes->counts.deletions);
  JsonAction told = {kind, folder.relativePath, settings.previewOnly ? jsonPreviewed : jsonDone, 0};
  if (toBackup) told.to = passes->backupPath;
  told.folder = 1;
  jsonAction(settings, told);
}

void removeFolders(Passes* passes) {
  int32_t count = 0;
  for (int32_t d = 0; d < destinationTable.count; ++d)
    count +=
        destinationTable.entries[d].kind == entryFolder && !destinationTable.entries[d].handled;
  if (count == 0) return;
  int32_t* folders = static_cast<int32_t*>(malloc(sizeof(int32_t) * static_cast<size_t>(count)));
  if (!folders) {
    passes->counts.outOfMemory = 1;
    return;
  }
  int32_t n = 0;
  for (int32_t d = 0; d < destinationTable.count; ++d)
    if (destinationTable.entries[d].kind == entryFolder && !destinationTable.entries[d].handled)
      folders[n++] = d;
  std::stable_sort(folders, folders + n, [](int32_t a, int32_t b) {
    return depthOf(destinationTable.entries[a].relativePath) >
           depthOf(destinationTable.entries[b].relativePath);
  });
  for (int32_t k = 0; k < n && !stopping(passes); ++k)
    removeFolder(passes, destinationTable.entries[folders[k]]);
  free(folders);
}

// True when the deferred entry s is a file to copy: one of one name, the first name of
// its file, or a name that cannot be linked (the others are linked to the first).
bool copiedLater(const Passes* passes, int32_t s) {
  if (sourceTable.entries[s].kind != entryFile) return false;
  const ExactState& exact = passes->exact;
  int32_t p = exact.groupCount ? linkedPosition(sourceTable, s) : -1;
  return p < 0 || exact.leaderOf[p] == s || exact.state[p] == nameCopied;
}

// The files that waited for a folder to go, or that could not be linked: copied now,
// in a copy room of their own.
void copyDeferred(Passes* passes) {
  const RunSettings& settings = *passes->settings;
  ExactState& exact = passes->exact;
  char sourcePath[pathBufferSize];
  char destinationPath[pathBufferSize];
  int files = 0;
  for (int32_t k = exact.deferredDone; k < exact.deferredCount; ++k)
    files += copiedLater(passes, exact.deferred[k]);
  if (files == 0) {
    exact.deferredDone = exact.deferredCount;
    return;
  }
  passes->kept.needed = 0;
  if (!settings.previewOnly) {
    passes->copies = copyBegin(passes->settings, passes->runFolders, passes->log, &passes->folders,
                               passes->copySeams, countFinishedCopy, passes);
    if (!passes->copies) {
      passes->counts.outOfMemory = 1;
      return;
    }
  }
  for (int32_t k = exact.deferredDone; k < exact.deferredCount && !stopping(passes); ++k) {
    const FileEntry& source = sourceTable.entries[exact.deferred[k]];
    if (!copiedLater(passes, exact.deferred[k]) ||
        joinFullPath(passes, sourcePath, settings.sourceRoot, source.relativePath, jsonCopy) ||
        joinFullPath(passes, destinationPath, settings.destinationRoot, source.relativePath,
                     jsonCopy))
      continue;
    if (settings.verbose)
      consolePrintf("We need to copy %s%s\n", settings.sourceRoot, source.relativePath);
    // A name that could not be linked may have a file of its own there: replaced.
    int kind = entryOther;
    FileIdentity identity;
    int update = !settings.previewOnly &&
                 entryKindIn(&passes->folders, destinationPath, &kind, &identity) == folderDone &&
                 kind != entryFolder;
    logAction(passes->log, update ? "Updated" : "Got", source.relativePath, &source.size);
    copyEntry(passes, source, sourcePath, destinationPath, update);
    ++passes->counts.decided;
    if (settings.previewOnly) ++passes->counts.copies;
  }
  if (passes->copies && copyEnd(passes->copies)) passes->counts.outOfMemory = 1;
  passes->copies = nullptr;
  exact.deferredDone = exact.deferredCount;
}
}  // namespace

void finishTree(Passes* passes, int deletionsRan) {
  const RunSettings& settings = *passes->settings;
  ExactState& exact = passes->exact;
  if (deletionsRan && (settings.preserve & preserveFolders)) removeFolders(passes);
  for (int32_t k = 0; k < exact.deferredCount && !stopping(passes); ++k)
    if (sourceTable.entries[exact.deferred[k]].kind == entryLink)
      placeLink(passes, exact.deferred[k], -1);
  if (!stopping(passes)) copyDeferred(passes);
  // Names that waited for a folder to go are linked to their first name now; those
  // that cannot be are copied.
  if (!stopping(passes) && exact.groupCount > 0) {
    linkNames(passes, 1);
    if (!stopping(passes)) copyDeferred(passes);
  }
  if (exact.linksRefused > 0)
    consolePrintf("The destination [%s] takes no links: %d could not be made !\n",
                  settings.destinationRoot, exact.linksRefused);
  if (exact.copiedNotLinked > 0)
    consolePrintf("Names of one file could not be linked in [%s]: %d copied instead !\n",
                  settings.destinationRoot, exact.copiedNotLinked);
}

namespace {
// Folder times and metadata, deepest first: the table holds each folder after what
// it holds.
void setEachFolder(Passes* passes, bool metadata) {
  const RunSettings& settings = *passes->settings;
  char path[pathBufferSize];
  for (int32_t s = 0; s < sourceTable.count && !stopping(passes); ++s) {
    const FileEntry& source = sourceTable.entries[s];
    if (source.kind != entryFolder ||
        joinFullPath(passes, path, settings.destinationRoot, source.relativePath, jsonCopy))
      continue;
    if (metadata) setFolderMetadata(passes, s, path);
    int set = setEntryTimeIn(&passes->folders, path, source.lastWriteTime);
    if (set == folderRefused)
      failStep(passes, jsonCopy, source.relativePath, "set the time of", path, lastFailureCode());
  }
  if (metadata && !stopping(passes)) setFolderMetadata(passes, -1, settings.destinationRoot);
}
}  // namespace

void setFolderTimes(Passes* passes) {
  const RunSettings& settings = *passes->settings;
  ExactState& exact = passes->exact;
  if (!(settings.preserve & preserveFolders) || settings.previewOnly) {
    tellMetadataLeftOut(passes);
    return;
  }
  int rootDiffers = fileTimeValue(sourceTable.rootTime) != fileTimeValue(destinationTable.rootTime);
  bool metadata = readyFolderMetadata(passes);
  // Only times to set: the run changes that much, and says so.
  if (passes->counts.decided == 0) passes->counts.decided = exact.folderTimesDiffer + rootDiffers;
  if (passes->counts.decided == 0 && !exact.changed && !metadata)
    return tellMetadataLeftOut(passes);
  // The mirror of an empty source is an empty folder: a root no copy made is made here.
  if (fileTimeValue(destinationTable.rootTime) == 0 &&
      makeFoldersIn(&passes->folders, settings.destinationRoot, settings.sourceRoot) != folderDone)
    failStep(passes, jsonMkdir, "", "make the folder", settings.destinationRoot, lastFailureCode());
  setEachFolder(passes, metadata);
  if (setEntryTimeIn(&passes->folders, settings.destinationRoot, sourceTable.rootTime) ==
      folderRefused)
    failStep(passes, jsonCopy, "", "set the time of", settings.destinationRoot, lastFailureCode());
  tellMetadataLeftOut(passes);
}
