#include "reconcile/destination_names.h"

#include <cstdlib>
#include <cstring>

#include "reconcile/twin_index.h"

namespace {
// What this run learnt; made before the passes, only read by them.
DestinationNames destinationNames;
}  // namespace

namespace {
int addRegion(const char* folder, int rules) {
  DestinationNames& names = destinationNames;
  if (names.regionCount == names.regionCapacity) {
    int32_t capacity = names.regionCapacity + 16;
    void* grown = realloc(names.regions, sizeof(NameRegion) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    names.regions = static_cast<NameRegion*>(grown);
    names.regionCapacity = capacity;
  }
  size_t length = strlen(folder);
  char* copy = static_cast<char*>(malloc(length + 1));
  if (!copy) return 1;
  memcpy(copy, folder, length + 1);
  // Longest first, so that the first region that holds a path is its own.
  int32_t at = names.regionCount;
  while (at > 0 && names.regions[at - 1].length < length) {
    names.regions[at] = names.regions[at - 1];
    --at;
  }
  names.regions[at] = NameRegion{copy, length, rules};
  ++names.regionCount;
  return 0;
}

struct MountVisit {
  const char* root;
  int failed;
};

void addMount(void* context, const char* relative) {
  MountVisit* visit = static_cast<MountVisit*>(context);
  char full[pathBufferSize];
  size_t rootLength = strlen(visit->root), relativeLength = strlen(relative);
  if (rootLength + relativeLength + 1 > sizeof full) return;
  memcpy(full, visit->root, rootLength);
  memcpy(full + rootLength, relative, relativeLength + 1);
  if (addRegion(relative, folderNameRules(full))) visit->failed = 1;
}

bool anyRegionDiffers() {
  for (int32_t i = 0; i < destinationNames.regionCount; ++i)
    if (destinationNames.regions[i].rules != namesAsPlatform) return true;
  return false;
}

void applyRules(EntryTable* table) {
  for (int32_t i = 0; i < table->count; ++i) {
    FileEntry& entry = table->entries[i];
    int rules = nameRulesFor(entry.relativePath);
    if (rules == namesAsPlatform) continue;
    entry.nameRules = static_cast<uint8_t>(rules);
    entry.key = computeFoldedPathKey(entry.relativePath, strlen(entry.relativePath));
  }
}

int addClash(int32_t entry, int32_t earlier) {
  DestinationNames& names = destinationNames;
  if (names.clashCount == names.clashCapacity) {
    int32_t capacity = names.clashCapacity + 64;
    void* grown = realloc(names.clashes, sizeof(NameClash) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    names.clashes = static_cast<NameClash*>(grown);
    names.clashCapacity = capacity;
  }
  names.clashes[names.clashCount++] = NameClash{entry, earlier};
  return 0;
}

// The first of two source names that the destination cannot hold apart is copied,
// in the order of the listing, which does not change between runs: the other is
// never copied over it.
int markClashes() {
  TwinIndex index;
  if (buildTwinIndex(&index, &sourceTable)) return 1;
  int failed = 0;
  for (int32_t s = 0; s < sourceTable.count && !failed; ++s) {
    FileEntry& entry = sourceTable.entries[s];
    // Names the destination compares byte for byte never clash.
    if (entry.nameRules == namesAsPlatform && !platformIsWindows) continue;
    int32_t earlier = findTwinBefore(&index, &sourceTable, s);
    if (earlier < 0) continue;
    entry.clash = 1;
    failed = addClash(s, earlier);
  }
  freeTwinIndex(&index);
  return failed;
}

// The length of a name in UTF-16 units, as exFAT and FAT count it.
size_t utf16Length(const char* name, size_t bytes) {
  size_t units = 0;
  for (size_t i = 0; i < bytes; ++i) {
    unsigned char b = static_cast<unsigned char>(name[i]);
    if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
  }
  return units;
}

// The region that holds a relative path: the one of the longest folder it lies in.
const NameRegion* regionOf(const char* relativePath) {
  for (int32_t i = 0; i < destinationNames.regionCount; ++i) {
    const NameRegion& region = destinationNames.regions[i];
    // A path shorter than the folder differs from it before its end.
    if (strncmp(relativePath, region.folder, region.length) != 0) continue;
    char next = relativePath[region.length];
    if (region.length == 0 || next == '\0' || isPathSeparator(next)) return &region;
  }
  return nullptr;
}

const char* refusedComponent(const char* name, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20) return "a control character";
    if (strchr("\"*:<>?\\|", c)) return "a character it does not allow";
  }
  if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' '))
    return "a trailing dot or space";
  if (utf16Length(name, length) > 255) return "longer than 255 characters";
  return nullptr;
}
}  // namespace

int learnDestinationNames(const char* root) {
  forgetDestinationNames();
  if (addRegion("", folderNameRules(root))) return 1;
  MountVisit visit = {root, 0};
  forEachMountBelow(root, addMount, &visit);
  return visit.failed;
}

int nameRulesFor(const char* relativePath) {
  const NameRegion* region = regionOf(relativePath);
  return region ? region->rules : namesAsPlatform;
}

int applyDestinationNames() {
  bool differs = anyRegionDiffers();
  if (differs) {
    applyRules(&destinationTable);
    applyRules(&sourceTable);
  }
  // Windows folds case everywhere, yet a source folder there (case-sensitive, or
  // one on another system's share) may hold two names that differ only in case.
  if (!differs && !platformIsWindows) return 0;
  return markClashes();
}

int32_t clashingEntry(int32_t entry) {
  for (int32_t i = 0; i < destinationNames.clashCount; ++i)
    if (destinationNames.clashes[i].entry == entry) return destinationNames.clashes[i].earlier;
  return -1;
}

const char* refusedName(const FileEntry& entry) {
  if (entry.nameRules != namesExfat && entry.nameRules != namesFat) return nullptr;
  // Only the names below the region's own folder lie on its file system.
  const NameRegion* region = regionOf(entry.relativePath);
  const char* name = entry.relativePath + (region ? region->length : 0);
  while (*name) {
    while (isPathSeparator(*name)) ++name;
    size_t length = 0;
    while (name[length] && !isPathSeparator(name[length])) ++length;
    if (length == 0) break;
    const char* reason = refusedComponent(name, length);
    if (reason) return reason;
    name += length;
  }
  return nullptr;
}

void forgetDestinationNames() {
  for (int32_t i = 0; i < destinationNames.regionCount; ++i)
    free(destinationNames.regions[i].folder);
  free(destinationNames.regions);
  free(destinationNames.clashes);
  destinationNames = DestinationNames{nullptr, 0, 0, nullptr, 0, 0};
}
