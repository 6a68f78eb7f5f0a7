// Patterns that leave paths out of a mirror (--exclude, --include and their files):
// compiled once before the listings start into a record that is only read
// afterwards, and matched against paths relative to the roots.
//
// A pattern is matched name by name: * is any run of characters within one name, ?
// one character, [abc], [a-z] and [!a-z] one character of a class, and a name of **
// any number of folders. A pattern without a separator matches a name at any depth;
// one with a separator matches the whole path from the root (a leading / anchors a
// single name there); a trailing / matches folders only. On Windows \ is a separator
// too. Where the set folds case, letters match as the destination's file system
// folds them; elsewhere byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

/// Which list a pattern belongs to.
enum FilterKind { filterExclude = 0, filterInclude = 1 };

/// Results of compileFilterSet, and what is wrong with the pattern it names.
enum FilterResult {
  filterCompiled = 0,
  filterEmptyPattern = 1,   ///< nothing but separators, or nothing at all
  filterUnclosedClass = 2,  ///< a [ without its ]
  filterReversedRange = 3,  ///< a range whose first character comes after its last ([z-a])
  filterNoMemory = 4,
};

/// What the filters make of one entry (filterVerdict).
enum FilterVerdict {
  filterLeftIn = 0,       ///< mirrored
  filterLeftOut = 1,      ///< excluded, or outside every include; a folder is not walked
  filterLeftInBelow = 2,  ///< a folder that matched an include: all below it is included
};

/// Kinds of FilterToken.
enum FilterTokenKind {
  filterTokenLiteral = 0,  ///< these bytes
  filterTokenOne = 1,      ///< ?: one character
  filterTokenAny = 2,      ///< *: any run of characters
  filterTokenClass = 3,    ///< one character of a class
};

/// One piece of a compiled name: a run of bytes, ?, *, or a class.
struct FilterToken {
  uint8_t kind;
  uint32_t start;   ///< literal: offset in literals; class: index in classes
  uint32_t length;  ///< literal: bytes
};

/// The compiled pattern of one name, or ** (anyFolders).
struct FilterName {
  uint32_t firstToken;
  uint32_t tokenCount;
  uint32_t minLength;  ///< bytes a matching name has at least
  uint8_t anyFolders;
};

/// One character class: ranges of characters, negated or not.
struct FilterClass {
  uint32_t firstRange;
  uint32_t rangeCount;
  uint8_t negated;
};

/// One compiled pattern: its names in order.
struct FilterPattern {
  uint32_t firstName;
  uint32_t nameCount;
  uint8_t kind;  ///< a FilterKind
  uint8_t folderOnly;
};

/// What a name must hold for the last name of a pattern to match it, told without
/// reading the pattern: its length at least, and the bytes of the literal that stands
/// at its start and at its end (up to 8 of each, in words masked to them).
struct FilterQuick {
  uint64_t head;
  uint64_t headMask;
  uint64_t tail;
  uint64_t tailMask;
  uint32_t pattern;
  uint32_t minLength;
};

/// The first and last 8 bytes of a name, the first left-aligned and the last
/// right-aligned in a word (zeros where the name is shorter), as FilterQuick takes them.
struct FilterWords {
  uint64_t head;
  uint64_t tail;
};
FilterWords filterWords(const char* name, size_t length);

/// Patterns indexed by the last byte of the names they can match: 258 offsets (the
/// 257th bucket holds those that end in any byte), then the patterns by bucket.
struct FilterIndex {
  std::vector<uint32_t> offsets;
  std::vector<FilterQuick> items;
};

/// The patterns of one kind that are matched against a name at any depth, indexed
/// for files and for folders (which every pattern may match); and the count of all.
struct FilterList {
  FilterIndex fileNames;
  FilterIndex folderNames;
  int32_t count = 0;
};

/// A pattern as it was given, and where: by an option, or on a line of a file.
struct FilterSource {
  std::string text;
  int kind;
  const char* option;  ///< the option that gave it ("--exclude"), or null
  int32_t file = -1;   ///< else the pattern file, by its place among the run's files
  int32_t line = 0;    ///< and its line there, from 1
};

/// Every pattern of a run, as given and compiled.
struct FilterSet {
  std::vector<FilterSource> sources;
  int32_t foldCase = 0;
  // Compiled by compileFilterSet:
  std::string literals;
  std::vector<FilterToken> tokens;
  std::vector<FilterName> names;
  std::vector<uint32_t> ranges;  ///< pairs: first and last character of each range
  std::vector<FilterClass> classes;
  std::vector<FilterPattern> patterns;
  FilterList lists[2];
  /// The patterns matched against the whole path, of both kinds (their last name is
  /// never **), and what their last names need.
  std::vector<FilterQuick> paths;
  /// Where the set folds and has a class: each character below U+10000 that folds
  /// to another, as the pair (what it folds to, itself), in that order. A class keeps
  /// its characters as written; a folded name's character is in it when the class
  /// holds one that folds to it.
  std::vector<std::pair<uint32_t, uint32_t>> foldedFrom;
};

/// Compiles every source of set, folding case when foldCase is set (it then stays
/// set). Returns a FilterResult; on failure *failed is the index of the source.
int compileFilterSet(FilterSet* set, int foldCase, int32_t* failed);
/// A short phrase for a FilterResult, for the line that names a bad pattern.
const char* filterResultText(int result);
/// True once set holds a compiled pattern.
inline bool filtersActive(const FilterSet* set) {
  return set && (set->lists[0].count || set->lists[1].count);
}

/// The character at text (available bytes, at least 1) and its bytes in *taken: a
/// UTF-8 sequence, or else one byte, given as 0x110000 plus its value so that it is
/// no character of its own.
uint32_t filterCharacter(const char* text, size_t available, size_t* taken);
/// The character as the destination's file system folds it (foldCaseCharacter).
uint32_t foldFilterCharacter(uint32_t character);

/// One name of a path: where its bytes lie.
struct FilterSpan {
  const char* at;
  size_t length;
};

/// What a walk keeps of the folders on its way down, as the patterns see them: the
/// relative path (folded where the set folds) in one buffer that each folder below
/// extends and its parent cuts back, like the walker's own path; and for each folder
/// on the way, the whole-path patterns whose names but the last match its path, the
/// only ones that can match an entry in it.
struct FilterWalk {
  const FilterSet* set;
  char* text;
  size_t textCapacity;
  char* name;  ///< the folded name of the entry being judged
  size_t nameCapacity;
  FilterSpan* spans;  ///< where each name of the visited folder's path lies
  int32_t spanCapacity;
  uint32_t* candidates;  ///< per depth, a row of indices into set->paths
  uint32_t* candidateCounts;
  int32_t candidateDepths;  ///< rows allocated
};

/// The folder being visited: its depth (names below the root), where its path ends
/// in the walk's text, and whether a folder on the way matched an include.
struct FilterFolder {
  size_t length;
  int32_t depth;
  uint8_t included;
};

/// Prepares a walk for set; 0, or 1 when memory ran out.
int beginFilterWalk(FilterWalk* walk, const FilterSet* set);
void endFilterWalk(FilterWalk* walk);
/// The FilterVerdict on the entry name (length bytes, no separator) of folder: a
/// file, or a folder when isFolder is set.
int filterVerdict(FilterWalk* walk, const FilterFolder& folder, const char* name, size_t length,
                  int isFolder);
/// Makes child the subfolder name of parent, whose verdict was verdict; 0, or 1 when
/// its path does not fit (or memory ran out).
int enterFilterFolder(FilterWalk* walk, const FilterFolder& parent, const char* name, size_t length,
                      int verdict, FilterFolder* child);
