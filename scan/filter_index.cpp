// Indexing compiled patterns for the walk: by the last bytes of the names they can
// match, each with what its last name needs of a name.
#include <algorithm>
#include <cstring>

#include "scan/filter.h"
#include "scan/filter_match.h"

namespace {
// The literal bytes a pattern's name starts (or ends) with, up to 8, as a word and a
// mask laid out as filterWords lays out a name.
void literalWord(const FilterSet& set, const FilterName& name, bool atEnd, uint64_t* word,
                 uint64_t* mask) {
  *word = *mask = 0;
  if (name.tokenCount == 0) return;
  const FilterToken& token = set.tokens[name.firstToken + (atEnd ? name.tokenCount - 1 : 0)];
  if (token.kind != filterTokenLiteral) return;
  size_t bytes = std::min<size_t>(token.length, 8);
  const char* from = &set.literals[token.start + (atEnd ? token.length - bytes : 0)];
  unsigned char value[8] = {0}, ones[8] = {0};
  memcpy(value + (atEnd ? 8 - bytes : 0), from, bytes);
  memset(ones + (atEnd ? 8 - bytes : 0), 0xFF, bytes);
  memcpy(word, value, 8);
  memcpy(mask, ones, 8);
}

}  // namespace

std::vector<uint32_t> filterLastBytes(const FilterSet& set, const FilterName& name) {
  const std::vector<uint32_t> any = {256};
  if (name.tokenCount == 0) return any;
  const FilterToken& last = set.tokens[name.firstToken + name.tokenCount - 1];
  if (last.kind == filterTokenLiteral)
    return {static_cast<unsigned char>(set.literals[last.start + last.length - 1])};
  if (last.kind != filterTokenClass) return any;
  const FilterClass& cls = set.classes[last.start];
  std::vector<uint32_t> bytes;
  for (uint32_t k = 0; k < cls.rangeCount && !cls.negated; ++k) {
    uint32_t first = set.ranges[2 * (cls.firstRange + k)],
             end = set.ranges[2 * (cls.firstRange + k) + 1];
    if (end >= 0x80 || end - first + bytes.size() > 16) return any;
    // A class keeps its letters as written; a folded name ends in their capitals.
    for (uint32_t byte = first; byte <= end; ++byte)
      bytes.push_back(set.foldCase ? foldFilterCharacter(byte) : byte);
  }
  std::sort(bytes.begin(), bytes.end());
  bytes.erase(std::unique(bytes.begin(), bytes.end()), bytes.end());
  if (bytes.empty() || bytes.back() >= 0x80) return any;
  return bytes;
}

FilterQuick filterQuickOf(const FilterSet& set, uint32_t index) {
  const FilterPattern& pattern = set.patterns[index];
  const FilterName& last = set.names[pattern.firstName + pattern.nameCount - 1];
  FilterQuick quick = {};
  literalWord(set, last, false, &quick.head, &quick.headMask);
  literalWord(set, last, true, &quick.tail, &quick.tailMask);
  quick.pattern = index;
  quick.minLength = last.minLength;
  return quick;
}

void buildFilterIndex(const FilterSet& set, FilterBuckets entries, FilterIndex* index) {
  std::vector<uint32_t>* offsets = &index->offsets;
  std::vector<FilterQuick>* items = &index->items;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::pair<uint32_t, uint32_t>& a,
                      const std::pair<uint32_t, uint32_t>& b) { return a.first < b.first; });
  offsets->assign(258, 0);
  items->clear();
  for (const auto& entry : entries) {
    ++(*offsets)[entry.first + 1];
    items->push_back(filterQuickOf(set, entry.second));
  }
  for (size_t bucket = 1; bucket < offsets->size(); ++bucket)
    (*offsets)[bucket] += (*offsets)[bucket - 1];
}
