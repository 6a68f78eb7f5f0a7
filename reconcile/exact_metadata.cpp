// An exact mirror's metadata: mode, owner and group compared for every twin from the
// listings; extended attributes, access lists and Windows attributes looked at only
// where the source changed since its twin did; what differs set without copying the
// data, and told as a change of its own ("Changed"). A kind the destination cannot
// hold is left out for the rest of the run and told once at the end.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/paths.h"
#include "base/run_folders.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "collect/entry_table.h"
#include "reconcile/exact_steps.h"
#include "reconcile/passes.h"

namespace {
constexpr int extraKinds = metadataXattrs | metadataAcls;

// What a link keeps of it: never a mode.
int partsOfKind(int parts, int kind) {
  return kind == entryLink ? parts & (metadataOwner | metadataXattrs) : parts;
}

int differingKinds(const EntryMetadata& a, const EntryMetadata& b, int parts) {
  int kinds = 0;
  if ((parts & metadataMode) && a.mode != b.mode) kinds |= metadataMode;
  if ((parts & metadataOwner) && (a.owner != b.owner || a.group != b.group)) kinds |= metadataOwner;
  if ((parts & metadataAttributes) && a.attributes != b.attributes) kinds |= metadataAttributes;
  return kinds;
}

// True when the source changed after its twin did: its content or metadata may
// differ with its time kept. A twin whose change time is its last-write time lies
// on a file system that keeps no change time of its own (exFAT, FAT): never so.
bool changedSince(const EntryMetadata& source, const EntryMetadata& twin, FileTime twinWritten) {
  int64_t twinChange = fileTimeValue(twin.changeTime);
  return twinChange != fileTimeValue(twinWritten) && fileTimeValue(source.changeTime) > twinChange;
}

// The way into the source for the deciding thread, opened when first needed.
TreeFolders* sourceFolders(Passes* passes) {
  if (!passes->sourcesOpen) {
    if (openTreeFolders(&passes->sources, &passes->runFolders->source)) return nullptr;
    passes->sourcesOpen = 1;
  }
  return &passes->sources;
}

// Reads the kinds (extraKinds of the run) of the entry at path in folders; 0 when read.
int readExtraAt(TreeFolders* folders, const char* path, int parts, ExtraMetadata* extra) {
  FolderHandle folder = noFolder;
  const char* name = nullptr;
  if (reachMetadataEntryIn(folders, path, &folder, &name) != folderDone) return 1;
  return readExtraMetadataIn(folder, name, parts, extra);
}

// Notes what one entry was given without: counted once, and by kind where the
// destination cannot hold it.
void noteLeftOut(Passes* passes, int notHeld, int notAllowed) {
  ExactState& exact = passes->exact;
  exact.metadataNotHeld |= notHeld;
  if (!(notHeld | notAllowed)) return;
  ++passes->counts.metadataLeftOut;
  for (int bit = 0; bit < metadataKindCount; ++bit)
    if (notHeld & (1 << bit)) ++exact.notHeldCount[bit];
}

// The kinds of wanted that the outcome shows as set: a mode whose set-id bits alone
// were dropped is no change when nothing else of it differed.
int kindsSet(int wanted, const MetadataOutcome& outcome, const EntryMetadata& from,
             const EntryMetadata& to) {
  int set = wanted & ~(outcome.notHeld | outcome.failedPart);
  int refused = outcome.notAllowed & set;
  if ((refused & metadataMode) && ((from.mode ^ to.mode) & ~06000u) != 0) refused &= ~metadataMode;
  return set & ~refused;
}
}  // namespace

int metadataPlace(Passes* passes, const char* path, FolderHandle* folder, const char** name) {
  return reachMetadataEntryIn(&passes->folders, path, folder, name);
}

void noteMetadataOutcome(Passes* passes, int notHeld, int notAllowed) {
  noteLeftOut(passes, notHeld, notAllowed);
}

int readSourceExtra(Passes* passes, int32_t s, int parts, ExtraMetadata* extra) {
  TreeFolders* sources = sourceFolders(passes);
  char full[pathBufferSize];
  const char* relative = s >= 0 ? sourceTable.entries[s].relativePath : "";
  if (!sources) return 1;
  if (joinPath(full, passes->settings->sourceRoot, relative)) return 1;
  return readExtraAt(sources, full, parts, extra);
}

namespace {
// Of kinds, those source entry s has: extended attributes or access lists it has
// none of are no loss where the destination cannot hold them.
int kindsTheSourceHas(Passes* passes, int32_t s, int kinds) {
  int extra = kinds & extraKinds;
  if (!extra) return kinds;
  ExtraMetadata items = {nullptr, 0, 0};
  int has = readSourceExtra(passes, s, extra, &items) == 0 ? extraMetadataKinds(items) : 0;
  freeExtraMetadata(&items);
  return kinds & (~extra | has);
}
}  // namespace

int applyEntryMetadata(Passes* passes, int32_t s, int kind, const char* path, int kinds,
                       const ExtraMetadata* extra, MetadataOutcome* outcome) {
  const EntryMetadata& from = s >= 0 ? entryMetadataOf(sourceTable, s) : sourceTable.rootMetadata;
  int leftOut = kinds & passes->exact.metadataNotHeld;
  *outcome = MetadataOutcome{leftOut, 0, 0, 0};
  kinds &= ~leftOut;
  if (kinds == 0) {
    outcome->notHeld = kindsTheSourceHas(passes, s, leftOut);
    noteLeftOut(passes, outcome->notHeld, 0);
    return 0;
  }
  FolderHandle folder = noFolder;
  const char* name = nullptr;
  MetadataOutcome applied = {0, 0, 0, 0};
  if (metadataPlace(passes, path, &folder, &name) == folderDone)
    applyMetadataIn(folder, name, kind, from, extra, kinds, &applied);
  else
    applied = MetadataOutcome{0, 0, kinds, lastFailureCode()};
  *outcome = MetadataOutcome{leftOut | applied.notHeld, applied.notAllowed, applied.failedPart,
                             applied.failure};
  passes->exact.metadataNotHeld |= outcome->notHeld;
  outcome->notHeld = kindsTheSourceHas(passes, s, outcome->notHeld);
  noteLeftOut(passes, outcome->notHeld, outcome->notAllowed);
  return kinds;
}

// Sets kinds of the source entry s's metadata (s -1: the root's) on its twin at path
// (relative: below the root), and tells it as a change of its own where any was set
// (a preview: where any differs), or as a failure. Returns the kinds set or failed.
int changeMetadata(Passes* passes, int32_t s, int32_t d, int kind, const char* path,
                   const char* relative, int kinds, const ExtraMetadata* extra) {
  const RunSettings& settings = *passes->settings;
  MetadataOutcome outcome = {0, 0, 0, 0};
  int set = kinds;
  if (!settings.previewOnly) {
    int tried = applyEntryMetadata(passes, s, kind, path, kinds, extra, &outcome);
    const EntryMetadata& from = s >= 0 ? entryMetadataOf(sourceTable, s) : sourceTable.rootMetadata;
    const EntryMetadata& to =
        d >= 0 ? entryMetadataOf(destinationTable, d) : destinationTable.rootMetadata;
    set = kindsSet(tried, outcome, from, to) | (kinds & outcome.failedPart);
  }
  if (set == 0) return 0;
  if (settings.verbose) consolePrintf("Changed metadata [%s]\n", path);
  logAction(passes->log, "Changed", relative, nullptr);
  ++passes->counts.decided;
  if (outcome.failedPart) {
    failStep(passes, jsonMetadata, relative, "set the metadata of", path, outcome.failure);
    return set;
  }
  ++passes->counts.metadataChanged;
  JsonAction told = {jsonMetadata, relative, settings.previewOnly ? jsonPreviewed : jsonDone};
  jsonAction(settings, told);
  return set;
}

// The kinds in which source entry s (-1: the root) and its twin d differ, the extra
// kinds read (into extra) only where the source changed since its twin did; later
// tells whether it did.
int kindsToChange(Passes* passes, int32_t s, int32_t d, const char* path, ExtraMetadata* extra,
                  bool* later) {
  const ExactState& exact = passes->exact;
  const EntryMetadata& from = s >= 0 ? entryMetadataOf(sourceTable, s) : sourceTable.rootMetadata;
  const EntryMetadata& to =
      d >= 0 ? entryMetadataOf(destinationTable, d) : destinationTable.rootMetadata;
  FileTime written = d >= 0 ? destinationTable.entries[d].lastWriteTime : destinationTable.rootTime;
  int parts = partsOfKind(exact.metadataParts,
                          s >= 0 ? sourceTable.entries[s].kind : static_cast<int>(entryFolder));
  int kinds = differingKinds(from, to, parts);
  *later = changedSince(from, to, written);
  int extraParts = parts & extraKinds;
  // The root is looked at in every run: a destination root made after the source last
  // changed (an empty folder made for the mirror) would hide it from the rule.
  bool look = *later || (s < 0 && d < 0);
  if (!look || !extraParts) return kinds;
  // Only what the source holds is known for sure; one that cannot be read stays as it is.
  if (readSourceExtra(passes, s, extraParts, extra) != 0) return kinds;
  ExtraMetadata held = {nullptr, 0, 0};
  if (readExtraAt(&passes->folders, path, extraParts, &held) != 0 ||
      !sameExtraMetadata(*extra, held))
    kinds |= extraParts;
  freeExtraMetadata(&held);
  return kinds;
}

bool metadataTwin(Passes* passes, int32_t s, int32_t d) {
  const RunSettings& settings = *passes->settings;
  const FileEntry& source = sourceTable.entries[s];
  const FileEntry& destination = destinationTable.entries[d];
  const EntryMetadata& from = entryMetadataOf(sourceTable, s);
  const EntryMetadata& to = entryMetadataOf(destinationTable, d);
  int parts = partsOfKind(passes->exact.metadataParts, source.kind);
  // The run with nothing to do stops here for every twin: no call is made.
  if (!differingKinds(from, to, parts) && !changedSince(from, to, destination.lastWriteTime))
    return false;
  const char* relative = platformIsWindows ? source.relativePath : destination.relativePath;
  char path[pathBufferSize];
  if (joinFullPath(passes, path, settings.destinationRoot, relative, jsonMetadata)) return false;
  ExtraMetadata extra = {nullptr, 0, 0};
  bool later = false;
  int kinds = kindsToChange(passes, s, d, path, &extra, &later) & parts;
  int set = kinds ? changeMetadata(passes, s, d, destination.kind, path, relative, kinds,
                                   (kinds & extraKinds) ? &extra : nullptr)
                  : 0;
  freeExtraMetadata(&extra);
  // Changed later, and nothing of its metadata that could be set tells why (what
  // the destination or the process cannot keep differs on every run): its data may
  // have changed.
  return set == 0 && later && source.kind == entryFile;
}
