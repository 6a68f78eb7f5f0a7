// What compiling and matching patterns may cost: the compiled tables grow with the
// patterns' length and no faster, whatever the patterns hold, and a name or a path
// is matched against the worst nesting of * and ** without trying every way to split.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/filter.h"
#include "scan/filter_fixture.h"

namespace {
size_t totalLength(const std::vector<std::string>& patterns) {
  size_t length = 0;
  for (const std::string& pattern : patterns) length += pattern.size();
  return length;
}

// Each table of the set against the bytes of its patterns: a token, a name, a class
// and a range each take one byte of a pattern at least; a folded letter is at most
// two bytes for one; a name pattern is indexed by at most 16 last bytes, in two lists.
void expectTablesWithin(const FilterSet& set, size_t length) {
  size_t patterns = set.patterns.size();
  EXPECT_LE(set.tokens.size(), length);
  EXPECT_LE(set.names.size(), length);
  EXPECT_LE(set.classes.size(), length);
  EXPECT_LE(set.ranges.size() / 2, length);
  EXPECT_LE(set.literals.size(), 2 * length);
  EXPECT_LE(set.paths.size(), patterns);
  for (const FilterList& list : set.lists) {
    EXPECT_LE(list.fileNames.items.size(), 16 * patterns);
    EXPECT_LE(list.folderNames.items.size(), 16 * patterns);
  }
  // Found once for the whole set, whatever its size: the characters that fold.
  EXPECT_LT(set.foldedFrom.size(), 65536u);
}
}  // namespace

TEST(FilterBounds, TwentyThousandPatternsCompileIntoTablesOfTheirSize) {
  std::vector<std::string> excludes;
  for (int i = 0; i < 20000; ++i) {
    std::string n = std::to_string(i);
    switch (i % 6) {
      case 0: excludes.push_back("name" + n); break;
      case 1: excludes.push_back("*." + n + "x"); break;
      case 2: excludes.push_back("/top" + n + "/*/"); break;
      case 3: excludes.push_back("a/**/b" + n + "/**/*.[a-p]"); break;
      // Classes of wide ranges of letters, folded where the set folds.
      case 4: excludes.push_back("[a-zà-þĀ-߿]" + n + "[!0-9]"); break;
      default: excludes.push_back("**/*-" + n + "-*/**/*?*"); break;
    }
  }
  for (int fold = 0; fold < 2; ++fold) {
    FilterSet set = makeSet(excludes, {}, fold);
    EXPECT_EQ(20000u, set.patterns.size());
    expectTablesWithin(set, totalLength(excludes));
    EXPECT_FALSE(mirrored(set, "d/name19998"));
    EXPECT_FALSE(mirrored(set, "d/e.19999x"));
    EXPECT_FALSE(mirrored(set, "top19994/x/"));
    EXPECT_FALSE(mirrored(set, "a/x/b19995/y/z.p"));
    EXPECT_TRUE(mirrored(set, "a/x/b19995/y/z.q"));
    EXPECT_FALSE(mirrored(set, "d/ā19996x"));
    EXPECT_FALSE(mirrored(set, "d/-19997-/e/f"));
    if (fold == 0 || foldFilterCharacter(0xE0) == 0xC0) {  // à to À
      EXPECT_EQ(fold == 0, mirrored(set, "d/À19996X"));
    }
    EXPECT_TRUE(mirrored(set, "d/name20000"));
  }
}

TEST(FilterBounds, AFoldedClassKeepsItsRangesAsWritten) {
  // A class of many wide ranges, each of which folding would have cut into hundreds
  // of pieces (every small letter taken out, its capital put in).
  std::string wide = "[";
  for (int i = 0; i < 2000; ++i) wide += i % 2 ? "Ā-߿" : "Ḁ-ỿ";
  wide += "]";
  std::vector<std::string> patterns = {wide + "x", "y" + wide};
  for (int i = 0; i < 500; ++i) patterns.push_back("z" + std::to_string(i) + "[Ā-߿]");
  FilterSet set = makeSet(patterns, {}, 1);
  expectTablesWithin(set, totalLength(patterns));
  // Each class merges its own ranges: two for the wide ones, one for each of the rest.
  EXPECT_EQ(2u * 2 + 500, set.ranges.size() / 2);
  EXPECT_FALSE(mirrored(set, "Āx"));
  EXPECT_FALSE(mirrored(set, "āx"));
  EXPECT_FALSE(mirrored(set, "Yḁ"));
  EXPECT_TRUE(mirrored(set, "Ya"));
  EXPECT_FALSE(mirrored(set, "z499ā"));
  EXPECT_TRUE(mirrored(set, "z499a"));
}

TEST(FilterBounds, TheWorstNestingOfStarsMatchesWithoutTryingEverySplit) {
  // Tried by splitting at every * and ** in turn, a miss below would take C(250, 60)
  // tries for the name and C(120, 40) for the path, far past the test's time-out.
  std::string stars, folders;
  for (int i = 0; i < 60; ++i) stars += "*a";
  stars += "*b";
  for (int i = 0; i < 40; ++i) folders += "**/*/";
  folders += "z";
  std::vector<std::string> patterns = {stars, folders, "/" + folders, "**/" + stars + "c/**/q"};
  for (int fold = 0; fold < 2; ++fold) {
    FilterSet set = makeSet(patterns, {}, fold);
    expectTablesWithin(set, totalLength(patterns));
    std::string name(250, 'a'), path;
    for (int i = 0; i < 120; ++i) path += "a/";
    EXPECT_TRUE(mirrored(set, name));
    EXPECT_FALSE(mirrored(set, name + "b"));
    EXPECT_TRUE(mirrored(set, path + name));
    EXPECT_FALSE(mirrored(set, path + "z"));
    EXPECT_TRUE(mirrored(set, path + name + "/" + path + "q"));
    EXPECT_FALSE(mirrored(set, path + name + "bc/" + path + "q"));
    EXPECT_TRUE(mirrored(set, path + name + "bc/" + path + "r"));
    EXPECT_TRUE(mirrored(set, "a/z"));
  }
}

TEST(FilterBounds, ANulByteIsOneByteOfALiteral) {
  // A NUL once ended a literal before its first byte, so that the compile added
  // empty literals until memory ran out. No name holds a NUL: these match nothing.
  const std::vector<std::string> patterns = {std::string("\0", 1),    std::string("\0abc", 4),
                                             std::string("a\0b", 3),  std::string("abc\0", 4),
                                             std::string("*\0*", 3),  std::string("[a]\0?/x", 7),
                                             std::string("a\r\0", 3), std::string("\0\0\0", 3)};
  for (const std::string& pattern : patterns) {
    FilterSet set = makeSet({pattern});
    expectTablesWithin(set, pattern.size());
    for (const char* path : {"a", "abc", "ab", "a/x", "x"})
      EXPECT_TRUE(mirrored(set, path)) << path;
  }
}
