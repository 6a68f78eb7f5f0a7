// The filters as a walk goes down a tree: the path of the folder visited, the
// whole-path patterns that can still match in it, and the verdict on each entry.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "scan/filter.h"
#include "scan/filter_match.h"

namespace {
// Copies name into out, folded where the set folds case; the bytes written.
size_t takeName(const FilterSet& set, const char* name, size_t length, char* out) {
  if (!set.foldCase) {
    memcpy(out, name, length);
    return length;
  }
  size_t written = 0;
  for (size_t at = 0; at < length;) {
    size_t foldedLength = 0;
    at += foldCaseCharacter(name + at, length - at, out + written, &foldedLength);
    written += foldedLength;
  }
  return written;
}

// Notes, for the folder at depth whose names are in the walk's spans, the whole-path
// patterns whose names but the last match its path: only they can match an entry
// there, by their last name alone. 0, or 1 when memory ran out.
int noteCandidates(FilterWalk* walk, int32_t depth) {
  const FilterSet& set = *walk->set;
  size_t width = set.paths.size();
  if (width == 0) return 0;
  if (depth >= walk->candidateDepths) {
    int32_t depths = depth + 16;
    void* rows = realloc(walk->candidates, sizeof(uint32_t) * width * static_cast<size_t>(depths));
    if (!rows) return 1;
    walk->candidates = static_cast<uint32_t*>(rows);
    void* counts = realloc(walk->candidateCounts, sizeof(uint32_t) * static_cast<size_t>(depths));
    if (!counts) return 1;
    walk->candidateCounts = static_cast<uint32_t*>(counts);
    walk->candidateDepths = depths;
  }
  uint32_t* row = walk->candidates + width * static_cast<size_t>(depth);
  uint32_t count = 0;
  for (size_t k = 0; k < width; ++k) {
    const FilterPattern& pattern = set.patterns[set.paths[k].pattern];
    int32_t leading = static_cast<int32_t>(pattern.nameCount) - 1;
    if (filterNamesMatch(set, pattern.firstName, leading, walk->spans, depth))
      row[count++] = static_cast<uint32_t>(k);
  }
  walk->candidateCounts[depth] = count;
  return 0;
}

// Whether a whole-path pattern of kind matches the entry of folder.
bool pathsMatch(const FilterWalk& walk, const FilterFolder& folder, int kind, int isFolder,
                const FilterSpan& entry, const FilterWords& words) {
  const FilterSet& set = *walk.set;
  if (set.paths.empty()) return false;
  const uint32_t* row = walk.candidates + set.paths.size() * static_cast<size_t>(folder.depth);
  for (uint32_t i = 0; i < walk.candidateCounts[folder.depth]; ++i) {
    const FilterQuick& quick = set.paths[row[i]];
    const FilterPattern& pattern = set.patterns[quick.pattern];
    if (pattern.kind != kind || (pattern.folderOnly && !isFolder) ||
        !filterMayMatch(quick, words, entry.length))
      continue;
    const FilterName& last = set.names[pattern.firstName + pattern.nameCount - 1];
    if (filterNameMatches(set, last, entry.at, entry.length)) return true;
  }
  return false;
}

bool kindMatches(const FilterWalk& walk, const FilterFolder& folder, int kind, int isFolder,
                 const FilterSpan& entry, const FilterWords& words) {
  const FilterList& list = walk.set->lists[kind];
  return filterNamesIndexed(*walk.set, isFolder ? list.folderNames : list.fileNames, entry,
                            words) ||
         pathsMatch(walk, folder, kind, isFolder, entry, words);
}
}  // namespace

int beginFilterWalk(FilterWalk* walk, const FilterSet* set) {
  // A folded character takes at most four bytes for one of the name.
  size_t capacity = 4 * static_cast<size_t>(pathBufferSize);
  int32_t spans = pathBufferSize / 2 + 2;
  *walk = FilterWalk{set,      static_cast<char*>(malloc(capacity)),
                     capacity, static_cast<char*>(malloc(capacity)),
                     capacity, static_cast<FilterSpan*>(malloc(sizeof(FilterSpan) * spans)),
                     spans,    nullptr,
                     nullptr,  0};
  if (walk->text && walk->name && walk->spans && noteCandidates(walk, 0) == 0) return 0;
  endFilterWalk(walk);
  return 1;
}

void endFilterWalk(FilterWalk* walk) {
  free(walk->text);
  free(walk->name);
  free(walk->spans);
  free(walk->candidates);
  free(walk->candidateCounts);
  *walk = FilterWalk{nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, 0};
}

int filterVerdict(FilterWalk* walk, const FilterFolder& folder, const char* name, size_t length,
                  int isFolder) {
  const FilterSet& set = *walk->set;
  if (length == 0 || folder.depth + 1 >= walk->spanCapacity || length > walk->nameCapacity / 4)
    return filterLeftIn;
  // Names are matched as they are unless the set folds case: no copy on the way.
  FilterSpan entry = set.foldCase ? FilterSpan{walk->name, takeName(set, name, length, walk->name)}
                                  : FilterSpan{name, length};
  walk->spans[folder.depth] = entry;
  FilterWords words = filterWords(entry.at, entry.length);
  if (kindMatches(*walk, folder, filterExclude, isFolder, entry, words)) return filterLeftOut;
  const FilterList& includes = set.lists[filterInclude];
  if (includes.count == 0 || folder.included) return filterLeftIn;
  if (kindMatches(*walk, folder, filterInclude, isFolder, entry, words))
    return isFolder ? filterLeftInBelow : filterLeftIn;
  if (!isFolder) return filterLeftOut;
  // A folder outside every include is walked only where one may match below it.
  if (includes.folderNames.offsets[257] > 0) return filterLeftIn;
  for (const FilterQuick& quick : set.paths) {
    const FilterPattern& pattern = set.patterns[quick.pattern];
    if (pattern.kind == filterInclude &&
        filterMatchesBelow(set, pattern, walk->spans, folder.depth + 1))
      return filterLeftIn;
  }
  return filterLeftOut;
}

int enterFilterFolder(FilterWalk* walk, const FilterFolder& parent, const char* name, size_t length,
                      int verdict, FilterFolder* child) {
  size_t at = parent.length;
  if (parent.depth + 2 >= walk->spanCapacity || length > walk->nameCapacity / 4 ||
      at + 1 + 4 * length > walk->textCapacity)
    return 1;
  if (parent.depth > 0) walk->text[at++] = '/';
  size_t taken = takeName(*walk->set, name, length, walk->text + at);
  walk->spans[parent.depth] = FilterSpan{walk->text + at, taken};
  *child = FilterFolder{at + taken, parent.depth + 1,
                        static_cast<uint8_t>(parent.included || verdict == filterLeftInBelow)};
  return noteCandidates(walk, child->depth);
}
