// An exact mirror's metadata of folders, links and the root: a folder gets its own
// at the end with its time, deepest first, so that one made read-only never stops
// its own filling; a link gets its owner and extended attributes once it is made.
#include <algorithm>
#include <cstdlib>

#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/exact_steps.h"
#include "reconcile/passes.h"

namespace {
constexpr int extraKinds = metadataXattrs | metadataAcls;

int noteDue(Passes* passes, const DueFolder& due) {
  ExactState& exact = passes->exact;
  if (exact.dueCount == exact.dueCapacity) {
    int32_t capacity = exact.dueCapacity + 256;
    void* grown = realloc(exact.dueFolders, sizeof(DueFolder) * static_cast<size_t>(capacity));
    if (!grown) {
      passes->counts.outOfMemory = 1;
      return 1;
    }
    exact.dueFolders = static_cast<DueFolder*>(grown);
    exact.dueCapacity = capacity;
  }
  exact.dueFolders[exact.dueCount++] = due;
  return 0;
}

// Sets kinds of s's metadata on the entry of kind at path that this run made, as
// part of its making: nothing is told but what failed.
void giveNewMetadata(Passes* passes, int32_t s, int kind, const char* path, const char* relative,
                     const char* jsonKind, int kinds) {
  ExtraMetadata extra = {nullptr, 0, 0};
  const ExtraMetadata* given = nullptr;
  int extraParts = kinds & extraKinds & ~passes->exact.metadataNotHeld;
  if (extraParts) {
    if (readSourceExtra(passes, s, extraParts, &extra) == 0)
      given = &extra;
    else
      kinds &= ~extraParts;
  }
  MetadataOutcome outcome = {0, 0, 0, 0};
  applyEntryMetadata(passes, s, kind, path, kinds, given, &outcome);
  freeExtraMetadata(&extra);
  if (outcome.failedPart)
    failStep(passes, jsonKind, relative, "set the metadata of", path, outcome.failure);
}

// The root's twin was made by this run, or was not there to be listed.
bool rootIsNew() {
  return fileTimeValue(destinationTable.rootMetadata.changeTime) == 0;
}
}  // namespace

void noteFolderMetadata(Passes* passes, int32_t s, int32_t d) {
  const ExactState& exact = passes->exact;
  if (!exact.metadataParts) return;
  if (d < 0) {
    noteDue(passes, DueFolder{s, -1, exact.metadataParts});
    return;
  }
  char path[pathBufferSize];
  const FileEntry& destination = destinationTable.entries[d];
  if (joinFullPath(passes, path, passes->settings->destinationRoot, destination.relativePath,
                   jsonMetadata))
    return;
  ExtraMetadata extra = {nullptr, 0, 0};
  bool later = false;
  int kinds = kindsToChange(passes, s, d, path, &extra, &later);
  freeExtraMetadata(&extra);
  if (kinds == 0) return;
  // A preview tells it now: it sets no folder's time, nor its metadata, at the end.
  if (passes->settings->previewOnly)
    changeMetadata(passes, s, d, entryFolder, path, destination.relativePath, kinds, nullptr);
  else
    noteDue(passes, DueFolder{s, d, kinds});
}

void setFolderMetadata(Passes* passes, int32_t s, const char* path) {
  ExactState& exact = passes->exact;
  if (!exact.metadataParts) return;
  if (s < 0) {
    ExtraMetadata extra = {nullptr, 0, 0};
    bool later = false;
    int kinds =
        rootIsNew() ? exact.metadataParts : kindsToChange(passes, -1, -1, path, &extra, &later);
    freeExtraMetadata(&extra);
    if (kinds == 0) return;
    char shown[2] = {pathSeparator, '\0'};
    if (rootIsNew()) return giveNewMetadata(passes, -1, entryFolder, path, shown, jsonMkdir, kinds);
    if (kinds & extraKinds) readSourceExtra(passes, -1, kinds & extraKinds, &extra);
    changeMetadata(passes, -1, -1, entryFolder, path, shown, kinds,
                   (kinds & extraKinds) ? &extra : nullptr);
    freeExtraMetadata(&extra);
    return;
  }
  DueFolder* end = exact.dueFolders + exact.dueCount;
  const DueFolder* due =
      std::lower_bound(exact.dueFolders, end, s,
                       [](const DueFolder& folder, int32_t at) { return folder.entry < at; });
  if (due == end || due->entry != s) return;
  const char* relative = sourceTable.entries[s].relativePath;
  if (due->twin < 0)
    return giveNewMetadata(passes, s, entryFolder, path, relative, jsonMkdir, due->kinds);
  ExtraMetadata extra = {nullptr, 0, 0};
  int kinds = due->kinds;
  if ((kinds & extraKinds) && readSourceExtra(passes, s, kinds & extraKinds, &extra) != 0)
    kinds &= ~extraKinds;
  changeMetadata(passes, s, due->twin, entryFolder, path,
                 destinationTable.entries[due->twin].relativePath, kinds,
                 (kinds & extraKinds) ? &extra : nullptr);
  freeExtraMetadata(&extra);
}

bool readyFolderMetadata(Passes* passes) {
  ExactState& exact = passes->exact;
  if (!exact.metadataParts) return false;
  // In table order the noted folders stand deepest first already; sorted by entry
  // for the look-ups of setFolderMetadata, which goes in table order too.
  std::sort(exact.dueFolders, exact.dueFolders + exact.dueCount,
            [](const DueFolder& a, const DueFolder& b) { return a.entry < b.entry; });
  const EntryMetadata& from = sourceTable.rootMetadata;
  const EntryMetadata& to = destinationTable.rootMetadata;
  if (exact.dueCount > 0 || rootIsNew() || from.mode != to.mode || from.owner != to.owner ||
      from.group != to.group || from.attributes != to.attributes ||
      fileTimeValue(from.changeTime) > fileTimeValue(to.changeTime))
    return true;
  if (!(exact.metadataParts & extraKinds)) return false;
  // The root's attributes are read in every run (two calls): see kindsToChange.
  ExtraMetadata extra = {nullptr, 0, 0};
  bool later = false;
  int kinds = kindsToChange(passes, -1, -1, passes->settings->destinationRoot, &extra, &later);
  freeExtraMetadata(&extra);
  return kinds != 0;
}

void giveLinkMetadata(Passes* passes, int32_t s, const char* path, const char* relative) {
  int kinds = passes->exact.metadataParts & (metadataOwner | metadataXattrs);
  if (kinds) giveNewMetadata(passes, s, entryLink, path, relative, jsonLink, kinds);
}

void tellMetadataLeftOut(Passes* passes) {
  static const char* const kindNames[metadataKindCount] = {
      "permission bits", "owners", "extended attributes", "access lists", "attributes"};
  const ExactState& exact = passes->exact;
  for (int bit = 0; bit < metadataKindCount; ++bit)
    if (exact.notHeldCount[bit] > 0)
      consolePrintf("The destination [%s] keeps no %s: %d left out !\n",
                    passes->settings->destinationRoot, kindNames[bit], exact.notHeldCount[bit]);
}
