// Matching compiled patterns: one name against one pattern name, a path name by name.
#include "scan/filter_match.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "scan/filter.h"

uint32_t filterCharacter(const char* text, size_t available, size_t* taken) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  *taken = 1;
  if (bytes[0] < 0x80) return bytes[0];
  size_t length = bytes[0] >= 0xF0 && bytes[0] <= 0xF4   ? 4
                  : bytes[0] >= 0xE0 && bytes[0] <= 0xEF ? 3
                  : bytes[0] >= 0xC2 && bytes[0] <= 0xDF ? 2
                                                         : 0;
  uint32_t raw = 0x110000u + bytes[0];
  if (length == 0 || available < length) return raw;
  uint32_t value = bytes[0] & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return raw;
    value = (value << 6) | (bytes[i] & 0x3Fu);
  }
  static const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return raw;
  *taken = length;
  return value;
}

uint32_t foldFilterCharacter(uint32_t character) {
  if (character >= 0x110000) return character;
  char text[4];
  size_t length = 1;
  if (character < 0x80) {
    text[0] = static_cast<char>(character);
  } else if (character < 0x800) {
    text[0] = static_cast<char>(0xC0 | (character >> 6));
    text[1] = static_cast<char>(0x80 | (character & 0x3F));
    length = 2;
  } else if (character < 0x10000) {
    text[0] = static_cast<char>(0xE0 | (character >> 12));
    text[1] = static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    text[2] = static_cast<char>(0x80 | (character & 0x3F));
    length = 3;
  } else {
    return character;  // no file system folds these
  }
  char folded[8];
  size_t foldedLength = 0, taken = 0;
  foldCaseCharacter(text, length, folded, &foldedLength);
  return filterCharacter(folded, foldedLength, &taken);
}

namespace {
// Literals are a few bytes: compared in place, without a call.
inline bool sameBytes(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

bool inRanges(const FilterSet& set, const FilterClass& cls, uint32_t character) {
  const uint32_t* range = &set.ranges[2 * static_cast<size_t>(cls.firstRange)];
  for (uint32_t k = 0; k < cls.rangeCount; ++k, range += 2)
    if (character >= range[0] && character <= range[1]) return true;
  return false;
}

// Where the set folds, the name's character is as the file system folds it: the
// class holds it when it holds a character that folds to it, itself included where
// it folds to nothing else ([a-z] holds A to Z, [à-å] holds Â).
bool inFoldedClass(const FilterSet& set, const FilterClass& cls, uint32_t character) {
  const auto& pairs = set.foldedFrom;
  auto at = std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(character, 0u));
  for (; at != pairs.end() && at->first == character; ++at)
    if (inRanges(set, cls, at->second)) return true;
  return inRanges(set, cls, character) && foldFilterCharacter(character) == character;
}

bool inClass(const FilterSet& set, const FilterClass& cls, uint32_t character) {
  bool held = set.foldCase ? inFoldedClass(set, cls, character) : inRanges(set, cls, character);
  return held != (cls.negated != 0);
}

size_t characterLength(const char* text, size_t available) {
  size_t taken = 1;
  if (static_cast<unsigned char>(text[0]) >= 0x80) filterCharacter(text, available, &taken);
  return taken;
}

// Glob matching of tokens against a whole name: on a mismatch, the last * takes one
// more byte and the tokens after it are tried again. A literal is whole characters,
// so it meets a name only where a character starts (unless the pattern itself holds
// a broken one), and * agrees with the literals fixed at either end of a name.
bool matchTokens(const FilterSet& set, const FilterToken* tokens, size_t count, const char* text,
                 size_t length) {
  size_t t = 0, at = 0, starToken = count, starAt = 0;
  while (at < length) {
    if (t < count) {
      const FilterToken& token = tokens[t];
      if (token.kind == filterTokenAny) {
        starToken = t++;
        starAt = at;
        continue;
      }
      size_t taken = 0;
      bool matched = false;
      if (token.kind == filterTokenLiteral) {
        taken = token.length;
        matched = length - at >= taken && sameBytes(text + at, &set.literals[token.start], taken);
      } else if (token.kind == filterTokenOne) {
        taken = characterLength(text + at, length - at);
        matched = true;
      } else {
        uint32_t character = filterCharacter(text + at, length - at, &taken);
        matched = inClass(set, set.classes[token.start], character);
      }
      if (matched) {
        at += taken;
        ++t;
        continue;
      }
    }
    if (starToken == count) return false;
    t = starToken + 1;
    at = ++starAt;
  }
  while (t < count && tokens[t].kind == filterTokenAny) ++t;
  return t == count;
}

}  // namespace

// One name against one pattern name. A literal at either end must stand there: most
// names are refused on those bytes before any * is tried.
bool filterNameMatches(const FilterSet& set, const FilterName& name, const char* text,
                       size_t length) {
  if (length < name.minLength) return false;
  const FilterToken* tokens = &set.tokens[name.firstToken];
  size_t count = name.tokenCount;
  if (count > 0 && tokens[0].kind == filterTokenLiteral) {
    if (!sameBytes(text, &set.literals[tokens[0].start], tokens[0].length)) return false;
    text += tokens[0].length;
    length -= tokens[0].length;
    ++tokens;
    --count;
  }
  if (count > 0 && tokens[count - 1].kind == filterTokenLiteral) {
    const FilterToken& last = tokens[count - 1];
    if (length < last.length ||
        !sameBytes(text + length - last.length, &set.literals[last.start], last.length))
      return false;
    length -= last.length;
    --count;
  }
  return matchTokens(set, tokens, count, text, length);
}

bool filterNamesMatch(const FilterSet& set, uint32_t firstName, int32_t total,
                      const FilterSpan* spans, int32_t count) {
  const FilterName* names = &set.names[firstName];
  int32_t p = 0, at = 0, starName = -1, starAt = 0;
  while (at < count) {
    if (p < total) {
      if (names[p].anyFolders) {
        starName = p++;
        starAt = at;
        continue;
      }
      if (filterNameMatches(set, names[p], spans[at].at, spans[at].length)) {
        ++p;
        ++at;
        continue;
      }
    }
    if (starName < 0) return false;
    p = starName + 1;
    at = ++starAt;
  }
  while (p < total && names[p].anyFolders) ++p;
  return p == total;
}

bool filterMatchesBelow(const FilterSet& set, const FilterPattern& pattern, const FilterSpan* spans,
                        int32_t count) {
  const FilterName* names = &set.names[pattern.firstName];
  int32_t total = static_cast<int32_t>(pattern.nameCount);
  for (int32_t at = 0; at < count; ++at) {
    if (at >= total) return false;
    if (names[at].anyFolders) return true;
    if (!filterNameMatches(set, names[at], spans[at].at, spans[at].length)) return false;
  }
  return count < total;
}

bool filterNamesIndexed(const FilterSet& set, const FilterIndex& index, const FilterSpan& entry,
                        const FilterWords& words) {
  uint32_t last = static_cast<unsigned char>(entry.at[entry.length - 1]);
  for (uint32_t bucket : {last, 256u}) {
    for (uint32_t i = index.offsets[bucket]; i < index.offsets[bucket + 1]; ++i) {
      const FilterQuick& quick = index.items[i];
      if (!filterMayMatch(quick, words, entry.length)) continue;
      const FilterPattern& pattern = set.patterns[quick.pattern];
      if (filterNameMatches(set, set.names[pattern.firstName], entry.at, entry.length)) return true;
    }
  }
  return false;
}

FilterWords filterWords(const char* name, size_t length) {
  FilterWords words;
  if (length >= 8) {
    memcpy(&words.head, name, 8);
    memcpy(&words.tail, name + length - 8, 8);
    return words;
  }
  unsigned char head[8] = {0}, tail[8] = {0};
  memcpy(head, name, length);
  memcpy(tail + 8 - length, name, length);
  memcpy(&words.head, head, 8);
  memcpy(&words.tail, tail, 8);
  return words;
}
