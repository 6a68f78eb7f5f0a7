// Compiling the patterns of a run: each name of a pattern into tokens, each class
// into ranges of characters, and every pattern into the index its list is searched by.
#include "scan/filter.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "scan/filter_match.h"

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
    // Kept as written, whether the set folds or not: a range is two numbers however
    // many characters it spans (foldedFrom folds at the match).
    set.ranges.push_back(low);
    set.ranges.push_back(high);
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
      // A literal runs to the next wildcard and holds at least this byte, whatever
      // it is: each turn of the loop takes one byte or more.
      size_t start = at++;
      while (at < length && text[at] != '*' && text[at] != '?' && text[at] != '[') ++at;
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

// The names of a pattern as it is matched, and whether it is for folders only and
// matched against the whole path; none when it is empty.
std::vector<std::string> patternNames(std::string text, uint8_t* folderOnly, bool* wholePath) {
  if (platformIsWindows) std::replace(text.begin(), text.end(), '\\', '/');
  while (!text.empty() && text.back() == '/') {
    text.pop_back();
    *folderOnly = 1;
  }
  bool anchored = !text.empty() && text[0] == '/';
  std::vector<std::string> pieces = splitNames(text);
  if (pieces.empty()) return pieces;
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
  *wholePath = anchored || pieces.size() > 1;
  return pieces;
}

int addPattern(Compiler* c, const FilterSource& source, FilterBuckets* buckets) {
  FilterSet& set = *c->set;
  FilterPattern pattern = {static_cast<uint32_t>(set.names.size()), 0,
                           static_cast<uint8_t>(source.kind), 0};
  bool wholePath = false;
  std::vector<std::string> pieces = patternNames(source.text, &pattern.folderOnly, &wholePath);
  if (pieces.empty()) return filterEmptyPattern;
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
    set.paths.push_back(filterQuickOf(set, index));
    return filterCompiled;
  }
  // Folders are judged by every pattern, files by those not for folders only; each
  // by the last byte of the names it can match.
  FilterBuckets* forKind = buckets + 2 * source.kind;
  for (uint32_t byte : filterLastBytes(set, set.names[pattern.firstName])) {
    forKind[0].emplace_back(byte, index);
    if (!pattern.folderOnly) forKind[1].emplace_back(byte, index);
  }
  return filterCompiled;
}

void clearCompiled(FilterSet* set) {
  set->literals.clear();
  set->tokens.clear();
  set->names.clear();
  set->ranges.clear();
  set->classes.clear();
  set->patterns.clear();
  set->paths.clear();
  set->foldedFrom.clear();
  for (FilterList& list : set->lists) list = FilterList();
}

// The characters below U+10000 that fold to another, by what they fold to: a few
// hundred, found once for the set.
void noteFoldedCharacters(FilterSet* set) {
  for (uint32_t character = 0; character < 0x10000; ++character) {
    if (character >= 0xD800 && character <= 0xDFFF) continue;
    uint32_t folded = foldFilterCharacter(character);
    if (folded != character) set->foldedFrom.emplace_back(folded, character);
  }
  std::sort(set->foldedFrom.begin(), set->foldedFrom.end());
}
}  // namespace

int compileFilterSet(FilterSet* set, int foldCase, int32_t* failed) {
  *failed = -1;
  try {
    clearCompiled(set);
    set->foldCase = foldCase;
    Compiler compiler = {set, foldCase};
    // Per kind: the name patterns that judge folders, then those that judge files.
    FilterBuckets buckets[4];
    for (size_t i = 0; i < set->sources.size(); ++i) {
      int result = addPattern(&compiler, set->sources[i], buckets);
      if (result == filterCompiled) continue;
      *failed = static_cast<int32_t>(i);
      clearCompiled(set);
      return result;
    }
    if (foldCase && !set->classes.empty()) noteFoldedCharacters(set);
    for (int kind = 0; kind < 2; ++kind) {
      FilterList& list = set->lists[kind];
      buildFilterIndex(*set, buckets[2 * kind], &list.folderNames);
      buildFilterIndex(*set, buckets[2 * kind + 1], &list.fileNames);
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
