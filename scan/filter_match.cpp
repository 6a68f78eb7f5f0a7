// Matching the compiled patterns as a walk goes down a tree: one name against one
// pattern name, a whole path name by name, and the verdict on each entry.
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
bool inClass(const FilterSet& set, const FilterClass& cls, uint32_t character) {
  const uint32_t* range = &set.ranges[2 * static_cast<size_t>(cls.firstRange)];
  for (uint32_t k = 0; k < cls.rangeCount; ++k, range += 2)
    if (character >= range[0] && character <= range[1]) return !cls.negated;
  return cls.negated;
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
        matched = length - at >= taken && memcmp(text + at, &set.literals[token.start], taken) == 0;
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

// One name against one pattern name. A literal at either end must stand there: most
// names are refused on those bytes before any * is tried.
bool matchName(const FilterSet& set, const FilterName& name, const char* text, size_t length) {
  if (length < name.minLength) return false;
  const FilterToken* tokens = &set.tokens[name.firstToken];
  size_t count = name.tokenCount;
  if (count > 0 && tokens[0].kind == filterTokenLiteral) {
    if (memcmp(text, &set.literals[tokens[0].start], tokens[0].length) != 0) return false;
    text += tokens[0].length;
    length -= tokens[0].length;
    ++tokens;
    --count;
  }
  if (count > 0 && tokens[count - 1].kind == filterTokenLiteral) {
    const FilterToken& last = tokens[count - 1];
    if (length < last.length ||
        memcmp(text + length - last.length, &set.literals[last.start], last.length) != 0)
      return false;
    length -= last.length;
    --count;
  }
  return matchTokens(set, tokens, count, text, length);
}

// A whole path, name by name: on a mismatch, the last ** takes one more folder.
bool matchPath(const FilterSet& set, const FilterPattern& pattern, const FilterSpan* spans,
               int32_t count) {
  const FilterName* names = &set.names[pattern.firstName];
  int32_t total = static_cast<int32_t>(pattern.nameCount);
  int32_t p = 0, at = 0, starName = -1, starAt = 0;
  while (at < count) {
    if (p < total) {
      if (names[p].anyFolders) {
        starName = p++;
        starAt = at;
        continue;
      }
      if (matchName(set, names[p], spans[at].at, spans[at].length)) {
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

// Whether a path below the folder of these names could match pattern.
bool matchesBelow(const FilterSet& set, const FilterPattern& pattern, const FilterSpan* spans,
                  int32_t count) {
  const FilterName* names = &set.names[pattern.firstName];
  int32_t total = static_cast<int32_t>(pattern.nameCount);
  for (int32_t at = 0; at < count; ++at) {
    if (at >= total) return false;
    if (names[at].anyFolders) return true;
    if (!matchName(set, names[at], spans[at].at, spans[at].length)) return false;
  }
  return count < total;
}

// Whether any pattern of list matches the entry at spans[depth - 1] (its name).
bool listMatches(const FilterSet& set, const FilterList& list, const FilterSpan* spans,
                 int32_t depth, int isFolder) {
  const std::vector<uint32_t>& offsets = isFolder ? list.folderBuckets : list.fileBuckets;
  const std::vector<uint32_t>& items = isFolder ? list.folderNames : list.fileNames;
  const FilterSpan& entry = spans[depth - 1];
  unsigned char last = static_cast<unsigned char>(entry.at[entry.length - 1]);
  for (uint32_t bucket : {static_cast<uint32_t>(last), 256u}) {
    for (uint32_t i = offsets[bucket]; i < offsets[bucket + 1]; ++i) {
      const FilterPattern& pattern = set.patterns[items[i]];
      if (matchName(set, set.names[pattern.firstName], entry.at, entry.length)) return true;
    }
  }
  for (uint32_t index : isFolder ? list.folderPaths : list.filePaths) {
    const FilterPattern& pattern = set.patterns[index];
    if (pattern.anyFolders ? depth < pattern.fixedNames : depth != pattern.fixedNames) continue;
    if (matchPath(set, pattern, spans, depth)) return true;
  }
  return false;
}

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
}  // namespace

int beginFilterWalk(FilterWalk* walk, const FilterSet* set) {
  // A folded character takes at most four bytes for one of the name.
  size_t capacity = 4 * static_cast<size_t>(pathBufferSize);
  int32_t spans = pathBufferSize / 2 + 2;
  *walk = FilterWalk{set,      static_cast<char*>(malloc(capacity)),
                     capacity, static_cast<char*>(malloc(capacity)),
                     capacity, static_cast<FilterSpan*>(malloc(sizeof(FilterSpan) * spans)),
                     spans};
  if (walk->text && walk->name && walk->spans) return 0;
  endFilterWalk(walk);
  return 1;
}

void endFilterWalk(FilterWalk* walk) {
  free(walk->text);
  free(walk->name);
  free(walk->spans);
  *walk = FilterWalk{nullptr, nullptr, 0, nullptr, 0, nullptr, 0};
}

int filterVerdict(FilterWalk* walk, const FilterFolder& folder, const char* name, size_t length,
                  int isFolder) {
  const FilterSet& set = *walk->set;
  if (length == 0 || folder.depth + 1 >= walk->spanCapacity || length > walk->nameCapacity / 4)
    return filterLeftIn;
  size_t taken = takeName(set, name, length, walk->name);
  walk->spans[folder.depth] = FilterSpan{walk->name, taken};
  int32_t depth = folder.depth + 1;
  if (listMatches(set, set.lists[filterExclude], walk->spans, depth, isFolder))
    return filterLeftOut;
  const FilterList& includes = set.lists[filterInclude];
  if (includes.count == 0 || folder.included) return filterLeftIn;
  if (listMatches(set, includes, walk->spans, depth, isFolder))
    return isFolder ? filterLeftInBelow : filterLeftIn;
  if (!isFolder) return filterLeftOut;
  // A folder outside every include is walked only where one may match below it.
  if (includes.folderBuckets[257] > 0) return filterLeftIn;
  for (uint32_t index : includes.folderPaths)
    if (matchesBelow(set, set.patterns[index], walk->spans, depth)) return filterLeftIn;
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
  return 0;
}
