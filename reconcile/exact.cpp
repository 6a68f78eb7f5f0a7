// An exact mirror's decisions in the update and copy passes: which names of one file
// are linked instead of copied, which twins of one file must part, and what becomes
// of links, folders and twins of two kinds.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/paths.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/exact_steps.h"
#include "reconcile/passes.h"

namespace {
bool identityBefore(const FileIdentity& a, const FileIdentity& b) {
  return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
}

// The groups of one file's names: positions in linkedNames sorted by identity, then
// by table order, so that each group's first position names its leader.
int buildGroups(ExactState* exact) {
  int32_t count = sourceTable.linkedCount;
  size_t bytes = sizeof(int32_t) * static_cast<size_t>(count);
  exact->groups = static_cast<int32_t*>(malloc(bytes));
  exact->leaderOf = static_cast<int32_t*>(malloc(bytes));
  exact->twinOf = static_cast<int32_t*>(malloc(bytes));
  exact->state = static_cast<uint8_t*>(calloc(static_cast<size_t>(count), 1));
  if (!exact->groups || !exact->leaderOf || !exact->twinOf || !exact->state) return 1;
  const LinkedName* names = sourceTable.linkedNames;
  for (int32_t p = 0; p < count; ++p) exact->groups[p] = p;
  std::stable_sort(exact->groups, exact->groups + count, [names](int32_t a, int32_t b) {
    return identityBefore(names[a].identity, names[b].identity);
  });
  for (int32_t at = 0; at < count;) {
    int32_t end = at;
    while (end < count &&
           sameFileIdentity(names[exact->groups[end]].identity, names[exact->groups[at]].identity))
      ++end;
    for (int32_t k = at; k < end; ++k)
      exact->leaderOf[exact->groups[k]] = names[exact->groups[at]].entry;
    at = end;
  }
  for (int32_t p = 0; p < count; ++p) exact->twinOf[p] = -1;
  exact->groupCount = count;
  return 0;
}

// Where the source keeps a file of this identity, the key a twin's claimer has: its
// file's identity, or for a file of one name, a key of its own.
FileIdentity claimKey(int32_t s) {
  int32_t p = linkedPosition(sourceTable, s);
  if (p >= 0) return sourceTable.linkedNames[p].identity;
  return FileIdentity{UINT64_MAX, static_cast<uint64_t>(s)};
}

// The destination's files of many names whose names the source holds as names of
// different files: each of those names is copied anew.
int findParted(ExactState* exact, const TwinIndex& index) {
  int32_t count = destinationTable.linkedCount;
  if (count == 0) return 0;
  int32_t* claimedBy = static_cast<int32_t*>(malloc(sizeof(int32_t) * count));
  int32_t* order = static_cast<int32_t*>(malloc(sizeof(int32_t) * count));
  exact->parted = static_cast<int32_t*>(malloc(sizeof(int32_t) * count));
  if (!claimedBy || !order || !exact->parted) {
    free(claimedBy);
    free(order);
    return 1;
  }
  for (int32_t q = 0; q < count; ++q) claimedBy[q] = -1, order[q] = q;
  for (int32_t s = 0; s < sourceTable.count; ++s) {
    if (sourceTable.entries[s].clash || sourceTable.entries[s].kind != entryFile) continue;
    int32_t twin = findTwin(&index, &destinationTable, sourceTable.entries[s]);
    int32_t q = twin >= 0 ? linkedPosition(destinationTable, twin) : -1;
    if (q >= 0) claimedBy[q] = s;
  }
  const LinkedName* names = destinationTable.linkedNames;
  std::stable_sort(order, order + count, [names](int32_t a, int32_t b) {
    return identityBefore(names[a].identity, names[b].identity);
  });
  for (int32_t at = 0; at < count;) {
    int32_t end = at;
    while (end < count && sameFileIdentity(names[order[end]].identity, names[order[at]].identity))
      ++end;
    // Names the source holds as names of different files: which of them kept the
    // file's bytes nobody can tell, so every one of them is copied anew.
    int32_t first = -1;
    bool mixed = false;
    for (int32_t k = at; k < end; ++k) {
      int32_t s = claimedBy[order[k]];
      if (s < 0) continue;
      if (first < 0) first = s;
      mixed = mixed || !sameFileIdentity(claimKey(s), claimKey(first));
    }
    for (int32_t k = at; k < end && mixed; ++k)
      if (claimedBy[order[k]] >= 0) exact->parted[exact->partedCount++] = claimedBy[order[k]];
    at = end;
  }
  std::sort(exact->parted, exact->parted + exact->partedCount);
  free(claimedBy);
  free(order);
  return 0;
}
}  // namespace

int32_t linkedPosition(const EntryTable& table, int32_t entry) {
  const LinkedName* begin = table.linkedNames;
  const LinkedName* end = begin + table.linkedCount;
  const LinkedName* found = std::lower_bound(
      begin, end, entry, [](const LinkedName& name, int32_t at) { return name.entry < at; });
  return found != end && found->entry == entry ? static_cast<int32_t>(found - begin) : -1;
}

int beginExact(Passes* passes, const TwinIndex& index) {
  passes->exact = ExactState{};
  passes->exact.metadataParts = runMetadataParts(*passes->settings);
  if (!(passes->settings->preserve & preserveHardLinks)) return 0;
  if (sourceTable.linkedCount > 0 && buildGroups(&passes->exact)) return 1;
  return findParted(&passes->exact, index);
}

void endExact(Passes* passes) {
  ExactState& exact = passes->exact;
  free(exact.groups);
  free(exact.leaderOf);
  free(exact.twinOf);
  free(exact.state);
  free(exact.parted);
  free(exact.deferred);
  free(exact.dueFolders);
  exact = ExactState{};
}

bool linksToLeader(Passes* passes, int32_t s, int32_t twin) {
  ExactState& exact = passes->exact;
  if (exact.groupCount == 0) return false;
  int32_t p = linkedPosition(sourceTable, s);
  if (p < 0) return false;
  exact.twinOf[p] = twin;
  if (exact.leaderOf[p] == s) return false;
  // Claimed here, decided once the leader's copy is in place.
  sourceTable.entries[s].handled = 1;
  if (twin >= 0 && destinationTable.entries[twin].kind != entryFolder)
    destinationTable.entries[twin].handled = 1;
  return true;
}

void noteNameState(Passes* passes, int32_t s, int state) {
  if (passes->exact.groupCount == 0) return;
  int32_t p = linkedPosition(sourceTable, s);
  if (p >= 0) passes->exact.state[p] = static_cast<uint8_t>(state);
}

bool mustPart(const Passes* passes, int32_t s) {
  const ExactState& exact = passes->exact;
  return exact.partedCount > 0 &&
         std::binary_search(exact.parted, exact.parted + exact.partedCount, s);
}

int deferEntry(Passes* passes, int32_t s) {
  ExactState& exact = passes->exact;
  if (exact.deferredCount == exact.deferredCapacity) {
    int32_t capacity = exact.deferredCapacity + 64;
    void* grown = realloc(exact.deferred, sizeof(int32_t) * static_cast<size_t>(capacity));
    if (!grown) {
      passes->counts.outOfMemory = 1;
      return 1;
    }
    exact.deferred = static_cast<int32_t*>(grown);
    exact.deferredCapacity = capacity;
  }
  exact.deferred[exact.deferredCount++] = s;
  return 0;
}

bool exactTwin(Passes* passes, int32_t s, int32_t d) {
  FileEntry& source = sourceTable.entries[s];
  FileEntry& destination = destinationTable.entries[d];
  if (source.kind == entryFile && destination.kind == entryFile) return false;
  source.handled = 1;
  // A folder in the way goes with what it holds, after the deletions; then its place
  // takes the source's file or link.
  if (destination.kind == entryFolder && source.kind != entryFolder) {
    deferEntry(passes, s);
    noteNameState(passes, s, nameWaits);
    return true;
  }
  destination.handled = 1;
  if (source.kind == entryFolder) {
    if (destination.kind != entryFolder) {
      replaceByFolder(passes, s, d);
      noteFolderMetadata(passes, s, -1);
      return true;
    }
    if (fileTimeValue(source.lastWriteTime) != fileTimeValue(destination.lastWriteTime))
      ++passes->exact.folderTimesDiffer;
    noteFolderMetadata(passes, s, d);
    return true;
  }
  if (source.kind == entryLink) {
    bool same = destination.kind == entryLink &&
                strcmp(linkTargetOf(source), linkTargetOf(destination)) == 0 &&
                fileTimeValue(source.lastWriteTime) == fileTimeValue(destination.lastWriteTime);
    if (!same)
      placeLink(passes, s, d);
    else if (passes->exact.metadataParts)
      metadataTwin(passes, s, d);
    return true;
  }
  // A file where the destination has a link: the copy takes the link's place.
  updateOverLink(passes, s, d);
  return true;
}

bool exactCopy(Passes* passes, int32_t s) {
  const FileEntry& source = sourceTable.entries[s];
  if (source.kind == entryLink) {
    placeLink(passes, s, -1);
    return true;
  }
  if (source.kind == entryFolder) {
    makeFolder(passes, s);
    noteFolderMetadata(passes, s, -1);
    return true;
  }
  return false;
}
