// Compiling the patterns of a run: each name of a pattern into tokens, each class
// into ranges of characters, and every pattern into the index its list is searched by.
#include "scan/filter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace {
// A pattern being compiled: where it goes, and how its letters are taken.
struct Compiler {
  FilterSet* set;
  int fold;
};

void addLiteral(Compiler* c, const char* text, size_t length, FilterName* name) {
  FilterSet& set = *c->set;
  uint32_t start = static_cast<uint32_t>(set.literals.size());
  for (size_t at = 0; at < length;) {
    char folded[8];
    size_t foldedLength = 1;
    folded[0] = text[at];
    size_t taken = c->fold ? foldCaseCharacter(text + at, length - at, folded, &foldedLength) : 1;
    set.literals.append(folded, foldedLength);
    at += taken;
  }
  uint32_t bytes = static_cast<uint32_t>(set.literals.size()) - start;
  set.tokens.push_back(FilterToken{filterTokenLiteral, start, bytes});
  name->minLength += bytes;
}

// Adds a range of a class; where case folds, a short range is taken character by
// character, each as the file system folds it ([a-z] then holds A to Z).
void addRange(Compiler* c, uint32_t first, uint32_t last) {
  std::vector<uint32_t>& ranges = c->set->ranges;
  if (!c->fold || last - first > 2048) {
    ranges.push_back(first);
    ranges.push_back(last);
    return;
  }
  for (uint32_t character = first; character <= last; ++character) {
    uint32_t folded = foldFilterCharacter(character);
    ranges.push_back(folded);
    ranges.push_back(folded);
  }
}

// Sorts the ranges of the class begun at firstRange and joins those that touch.
void mergeRanges(std::vector<uint32_t>* ranges, uint32_t firstRange, FilterClass* cls) {
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (size_t at = 2 * static_cast<size_t>(firstRange); at < ranges->size(); at += 2)
    pairs.emplace_back((*ranges)[at], (*ranges)[at + 1]);
  std::sort(pairs.begin(), pairs.end());
  ranges->resize(2 * static_cast<size_t>(firstRange));
  for (const auto& pair : pairs) {
    size_t size = ranges->size();
    if (size > 2 * static_cast<size_t>(firstRange) && pair.first <= (*ranges)[size - 1] + 1) {
      (*ranges)[size - 1] = std::max((*ranges)[size - 1], pair.second);
      continue;
    }
    ranges->push_back(pair.first);
    ranges->push_back(pair.second);
  }
  cls->rangeCount = static_cast<uint32_t>(ranges->size() / 2) - firstRange;
}

// The class that starts at text[*at] ('['); *at then lies past its ']'.
int addClass(Compiler* c, const char* text, size_t length, size_t* at, FilterName* name) {
  FilterSet& set = *c->set;
  size_t j = *at + 1;
  FilterClass cls = {static_cast<uint32_t>(set.ranges.size() / 2), 0, 0};
  if (j < length && (text[j] == '!' || text[j] == '^')) {
    cls.negated = 1;
    ++j;
  }
  // A ] right after the opening (or its !) is a member, as in every glob.
  for (bool first = true;; first = false) {
    if (j >= length) return filterUnclosedClass;
    if (text[j] == ']' && !first) break;
    size_t taken = 0;
    uint32_t low = filterCharacter(text + j, length - j, &taken), high = low;
    j += taken;
    if (j + 1 < length && text[j] == '-' && text[j + 1] != ']') {
      high = filterCharacter(text + j + 1, length - j - 1, &taken);
      j += 1 + taken;
    }
    if (high < low) return filterReversedRange;
    addRange(c, low, high);
  }
  *at = j + 1;
  mergeRanges(&set.ranges, cls.firstRange, &cls);
  set.tokens.push_back(FilterToken{filterTokenClass, static_cast<uint32_t>(set.classes.size()), 0});
  set.classes.push_back(cls);
  name->minLength += 1;
  return filterCompiled;
}

int addName(Compiler* c, const std::string& piece, FilterName* name) {
  FilterSet& set = *c->set;
  *name = FilterName{static_cast<uint32_t>(set.tokens.size()), 0, 0, 0};
  if (piece == "**") {
    name->anyFolders = 1;
    return filterCompiled;
  }
  const char* text = piece.c_str();
  size_t length = piece.size();
  for (size_t at = 0; at < length;) {
    if (text[at] == '*') {
      // ** inside a name is a *: it cannot cross a separator.
      while (at < length && text[at] == '*') ++at;
      set.tokens.push_back(FilterToken{filterTokenAny, 0, 0});
    } else if (text[at] == '?') {
      ++at;
      set.tokens.push_back(FilterToken{filterTokenOne, 0, 0});
      name->minLength += 1;
    } else if (text[at] == '[') {
      if (int result = addClass(c, text, length, &at, name)) return result;
    } else {
      size_t start = at;
      while (at < length && !strchr("*?[", text[at])) ++at;
      addLiteral(c, text + start, at - start, name);
    }
  }
  name->tokenCount = static_cast<uint32_t>(set.tokens.size()) - name->firstToken;
  return filterCompiled;
}

// The names of a pattern; an empty list when it holds nothing but separators.
std::vector<std::string> splitNames(const std::string& text) {
  std::vector<std::string> names;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('/', at);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(at, end - at);
    // a//b is a/b, and **/** is **.
    if (!name.empty() && !(name == "**" && !names.empty() && names.back() == "**"))
      names.push_back(name);
    at = end + 1;
  }
  return names;
}

// The last bytes a name matching this one can end in: that of a literal, the few
// ASCII characters of a class ([oa]), or 256 for any.
std::vector<uint32_t> lastBytesOf(const FilterSet& set, const FilterName& name) {
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
    for (uint32_t byte = first; byte <= end; ++byte) bytes.push_back(byte);
  }
  return bytes.empty() ? any : bytes;
}

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

FilterQuick quickOf(const FilterSet& set, uint32_t index) {
  const FilterPattern& pattern = set.patterns[index];
  const FilterName& last = set.names[pattern.firstName + pattern.nameCount - 1];
  FilterQuick quick = {};
  literalWord(set, last, false, &quick.head, &quick.headMask);
  literalWord(set, last, true, &quick.tail, &quick.tailMask);
  quick.pattern = index;
  quick.minLength = last.minLength;
  return quick;
}

// Name patterns before their lists are indexed: each with the last byte it can end in.
typedef std::vector<std::pair<uint32_t, uint32_t>> Bucketed;

int addPattern(Compiler* c, const FilterSource& source, Bucketed* buckets) {
  FilterSet& set = *c->set;
  std::string text = source.text;
  if (platformIsWindows) std::replace(text.begin(), text.end(), '\\', '/');
  FilterPattern pattern = {static_cast<uint32_t>(set.names.size()), 0,
                           static_cast<uint8_t>(source.kind), 0};
  while (!text.empty() && text.back() == '/') {
    text.pop_back();
    pattern.folderOnly = 1;
  }
  bool anchored = !text.empty() && text[0] == '/';
  std::vector<std::string> pieces = splitNames(text);
  if (pieces.empty()) return filterEmptyPattern;
  // A ** at the end matches no more than what comes before it: whatever lies below
  // a folder that this matches is left out or brought in with the folder, which the
  // walk has judged before it lists anything inside.
  while (pieces.size() > 1 && pieces.back() == "**") pieces.pop_back();
  // **/name is the name at any depth, as name alone is.
  if (pieces.size() == 2 && pieces[0] == "**" && pieces[1] != "**") {
    pieces.erase(pieces.begin());
    anchored = false;
  }
  // ** alone, anchored or not, is any name at any depth.
  if (pieces.size() == 1 && pieces[0] == "**") pieces[0] = "*";
  bool wholePath = anchored || pieces.size() > 1;
  for (const std::string& piece : pieces) {
    FilterName name;
    if (int result = addName(c, piece, &name)) return result;
    set.names.push_back(name);
  }
  pattern.nameCount = static_cast<uint32_t>(pieces.size());
  uint32_t index = static_cast<uint32_t>(set.patterns.size());
  set.patterns.push_back(pattern);
  ++set.lists[source.kind].count;
  if (wholePath) {
    set.paths.push_back(quickOf(set, index));
    return filterCompiled;
  }
  // Folders are judged by every pattern, files by those not for folders only; each
  // by the last byte of the names it can match.
  Bucketed* forKind = buckets + 2 * source.kind;
  for (uint32_t byte : lastBytesOf(set, set.names[pattern.firstName])) {
    forKind[0].emplace_back(byte, index);
    if (!pattern.folderOnly) forKind[1].emplace_back(byte, index);
  }
  return filterCompiled;
}

// Lays out one bucket index: offsets of 257 buckets (258 entries), then the patterns.
void buildIndex(const FilterSet& set, Bucketed entries, FilterIndex* index) {
  std::vector<uint32_t>* offsets = &index->offsets;
  std::vector<FilterQuick>* items = &index->items;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::pair<uint32_t, uint32_t>& a,
                      const std::pair<uint32_t, uint32_t>& b) { return a.first < b.first; });
  offsets->assign(258, 0);
  items->clear();
  for (const auto& entry : entries) {
    ++(*offsets)[entry.first + 1];
    items->push_back(quickOf(set, entry.second));
  }
  for (size_t bucket = 1; bucket < offsets->size(); ++bucket)
    (*offsets)[bucket] += (*offsets)[bucket - 1];
}

void clearCompiled(FilterSet* set) {
  set->literals.clear();
  set->tokens.clear();
  set->names.clear();
  set->ranges.clear();
  set->classes.clear();
  set->patterns.clear();
  set->paths.clear();
  for (FilterList& list : set->lists) list = FilterList();
}
}  // namespace

int compileFilterSet(FilterSet* set, int foldCase, int32_t* failed) {
  *failed = -1;
  try {
    clearCompiled(set);
    set->foldCase = foldCase;
    Compiler compiler = {set, foldCase};
    // Per kind: the name patterns that judge folders, then those that judge files.
    Bucketed buckets[4];
    for (size_t i = 0; i < set->sources.size(); ++i) {
      int result = addPattern(&compiler, set->sources[i], buckets);
      if (result == filterCompiled) continue;
      *failed = static_cast<int32_t>(i);
      clearCompiled(set);
      return result;
    }
    for (int kind = 0; kind < 2; ++kind) {
      FilterList& list = set->lists[kind];
      buildIndex(*set, buckets[2 * kind], &list.folderNames);
      buildIndex(*set, buckets[2 * kind + 1], &list.fileNames);
    }
  } catch (const std::bad_alloc&) {
    clearCompiled(set);
    return filterNoMemory;
  }
  return filterCompiled;
}

const char* filterResultText(int result) {
  switch (result) {
    case filterEmptyPattern: return "an empty pattern";
    case filterUnclosedClass: return "an unclosed [";
    case filterReversedRange: return "a range written backwards";
    case filterNoMemory: return "out of memory";
    default: return "a good pattern";
  }
}
