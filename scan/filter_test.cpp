// The pattern matcher: tables of paths and what each set of patterns makes of them,
// judged as the walk judges them, folder by folder from the root.
#include "scan/filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scan/filter_fixture.h"

namespace {
struct Case {
  const char* path;
  bool mirrored;
};

void expectCases(const FilterSet& set, const std::vector<Case>& cases, const char* what) {
  for (const Case& c : cases)
    EXPECT_EQ(c.mirrored, mirrored(set, c.path)) << what << ": " << c.path;
}

struct Group {
  std::vector<std::string> excludes;
  std::vector<std::string> includes;
  std::vector<Case> cases;
};

void expectGroups(const std::vector<Group>& groups, int foldCase = 0) {
  for (const Group& group : groups) {
    std::string what;
    for (const std::string& p : group.excludes) what += " --exclude=" + p;
    for (const std::string& p : group.includes) what += " --include=" + p;
    expectCases(makeSet(group.excludes, group.includes, foldCase), group.cases, what.c_str());
  }
}
}  // namespace

TEST(Filter, TheCommonExclusions) {
  FilterSet set =
      makeSet({"node_modules/", ".cache/", "build/", "*.tmp", "~$*.docx", "Thumbs.db", ".DS_Store"},
              {}, platformIsWindows);
  expectCases(set,
              {{"node_modules/", false},
               {"web/app/node_modules/", false},
               {"web/app/node_modules/left-pad/index.js", false},
               {"node_modules", true},  // a file of that name: the pattern is for folders
               {"home/.cache/", false},
               {"build/", false},
               {"src/build/out.o", false},
               {"notes.tmp", false},
               {"a/b/c/notes.tmp", false},
               {"notes.tmp.txt", true},
               {"~$report.docx", false},
               {"docs/~$report.docx", false},
               {"report.docx", true},
               {"~$report.doc", true},
               {"Thumbs.db", false},
               {"photos/2020/Thumbs.db", false},
               {"photos/2020/thumbs.db", platformIsWindows ? false : true},
               {"photos/.DS_Store", false},
               {"photos/x.DS_Store", true},
               {"src/main.cpp", true},
               {"builder/", true},
               {".cachet/", true}},
              "common examples");
}

TEST(Filter, WildcardsWithinOneName) {
  expectGroups({
      {{"*.tmp"}, {}, {{"a.tmp", false}, {".tmp", false}, {"a.tmpx", true}, {"atmp", true}}},
      {{"a*b*c"}, {}, {{"abc", false}, {"aXbYc", false}, {"abcbc", false}, {"acb", true}}},
      {{"*x*"}, {}, {{"x", false}, {"axb", false}, {"ab", true}}},
      {{"?.txt"}, {}, {{"a.txt", false}, {"é.txt", false}, {"ab.txt", true}, {".txt", true}}},
      {{"a?c"}, {}, {{"abc", false}, {"ac", true}, {"a/c", true}}},
      // * and ? never cross a separator: a folder's name is matched alone.
      {{"a*"}, {}, {{"x/abc", false}, {"abc/d", false}, {"xa/bc", true}}},
      {{"a**b"}, {}, {{"ab", false}, {"aXXb", false}, {"a/b", true}}},
  });
}

TEST(Filter, CharacterClasses) {
  expectGroups({
      {{"[abc].txt"}, {}, {{"a.txt", false}, {"c.txt", false}, {"d.txt", true}}},
      {{"x[a-c]"}, {}, {{"xb", false}, {"xd", true}, {"x-", true}}},
      {{"x[!a-c]"}, {}, {{"xb", true}, {"xd", false}, {"x", true}}},
      {{"x[^a-c]"}, {}, {{"xb", true}, {"xd", false}}},
      {{"[]]x"}, {}, {{"]x", false}, {"ax", true}}},
      {{"[a-]x"}, {}, {{"-x", false}, {"ax", false}, {"bx", true}}},
      {{"[*?[]"}, {}, {{"*", false}, {"?", false}, {"[", false}, {"a", true}}},
      {{"[é-ë]"}, {}, {{"é", false}, {"ê", false}, {"e", true}, {"ì", true}}},
      {{"v[0-9][0-9]"}, {}, {{"v10", false}, {"v1", true}, {"v1a", true}}},
      // A class at the end of a name is indexed by each of its characters.
      {{"*.[oa]", "x[!0-9]"}, {}, {{"m.o", false}, {"m.a", false}, {"m.b", true}, {"xz", false}}},
  });
}

TEST(Filter, AnchoredPathsAndAnyFolders) {
  expectGroups({
      {{"/build"}, {}, {{"build/", false}, {"build", false}, {"src/build/", true}}},
      {{"docs/*.txt"},
       {},
       {{"docs/a.txt", false},
        {"docs/a.md", true},
        {"x/docs/a.txt", true},
        {"docs/x/a.txt", true}}},
      {{"/a/b"}, {}, {{"a/b", false}, {"a/b/c", false}, {"a/c", true}, {"x/a/b", true}}},
      {{"a/**/b"},
       {},
       {{"a/b", false}, {"a/x/b", false}, {"a/x/y/b", false}, {"b", true}, {"x/a/b", true}}},
      {{"**/cache/*.log"},
       {},
       {{"cache/a.log", false}, {"x/y/cache/a.log", false}, {"x/cache/y/a.log", true}}},
      {{"**/logs"}, {}, {{"logs", false}, {"a/b/logs/", false}, {"a/logsx", true}}},
      // ** is any number of folders, none too: the folder itself is left out.
      {{"/build/**"}, {}, {{"build/", false}, {"build/x", false}, {"buildx/y", true}}},
      {{"a//b/"}, {}, {{"a/b/", false}, {"a/b", true}}},
      {{"/**"}, {}, {{"a", false}, {"a/b/", false}}},
      {{"**"}, {}, {{"a", false}, {"x/y", false}}},
      {{"a/**/**/b"}, {}, {{"a/b", false}, {"a/x/y/b", false}}},
  });
}

TEST(Filter, FoldersOnly) {
  expectGroups({
      {{"cache/"}, {}, {{"cache/", false}, {"cache", true}, {"a/cache/", false}}},
      {{"/out/"}, {}, {{"out/", false}, {"out", true}, {"a/out/", true}}},
      {{"a/*/"}, {}, {{"a/b/", false}, {"a/b", true}, {"a/b/c", false}}},
  });
}

TEST(Filter, IncludesAndExcludesTogether) {
  expectGroups({
      // Files outside every include are left out; folders are walked to find them.
      {{},
       {"*.txt"},
       {{"a.txt", true},
        {"a.dat", false},
        {"docs/", true},
        {"docs/b.txt", true},
        {"docs/b", false}}},
      // A folder that matches an include brings everything below it.
      {{},
       {"/docs/"},
       {{"docs/a.dat", true}, {"docs/x/y.bin", true}, {"docs", false}, {"other/", false}}},
      // Only folders on the way to an anchored include are walked.
      {{},
       {"/a/b/*.txt"},
       {{"a/", true},
        {"a/b/", true},
        {"a/b/x.txt", true},
        {"a/b/x.dat", false},
        {"a/c/", false},
        {"c/", false},
        {"a/b/c/", false},
        {"x.txt", false}}},
      {{},
       {"/photos/**/*.jpg"},
       {{"photos/a/b/", true}, {"photos/a/b/x.jpg", true}, {"v/", false}}},
      // An exclude wins over an include, whatever the order they were given in.
      {{"secret*"},
       {"*.txt"},
       {{"notes.txt", true}, {"secret.txt", false}, {"secrets/", false}, {"public/a.txt", true}}},
      {{"/docs/tmp/"}, {"/docs/"}, {{"docs/a", true}, {"docs/tmp/", false}, {"docs/tmp/a", false}}},
      {{},
       {"*.txt", "/keep/"},
       {{"keep/a.bin", true}, {"a.txt", true}, {"a.bin", false}, {"x/keep/a.bin", false}}},
  });
}

TEST(Filter, LetterCase) {
  std::vector<Case> cases = {{"A.TMP", false},   {"a.tmp", false}, {"Build/", false},
                             {"BUILD/x", false}, {"xB", false},    {"x-", true}};
  cases.push_back({"lib.O", false});
  FilterSet folding = makeSet({"*.tmp", "/build/", "x[a-c]", "*.[oa]"}, {}, 1);
  expectCases(folding, cases, "folding");
  FilterSet exact = makeSet({"*.tmp", "/build/", "x[a-c]"}, {}, 0);
  expectCases(exact, {{"A.TMP", true}, {"a.tmp", false}, {"Build/", true}, {"xB", true}}, "exact");
  // Beyond ASCII, as far as the file system's own folding goes.
  char folded[8];
  size_t length = 0;
  foldCaseCharacter("é", 2, folded, &length);
  if (length == 2 && memcmp(folded, "É", 2) == 0) {
    expectCases(makeSet({"é*", "[à-å]x"}, {}, 1),
                {{"Éclair", false}, {"éclair", false}, {"Âx", false}, {"Ex", true}}, "Unicode");
  }
  // A class folds at the match, however wide its ranges: [a-\uFFDC] holds A.
  expectCases(makeSet({"x[a-\xEF\xBF\x9C]", "y[!a-c]"}, {}, 1),
              {{"xA", false}, {"x@", true}, {"yB", true}, {"yD", false}}, "wide classes");
}

TEST(Filter, BackslashIsASeparatorOnWindowsOnly) {
  FilterSet set = makeSet({"build\\out", "\\tmp\\"});
  if (platformIsWindows) {
    expectCases(set, {{"build/out", false}, {"tmp/", false}, {"a/tmp/", true}}, "Windows");
  } else {
    expectCases(set,
                {{"build\\out", false}, {"build/out", true}, {"\\tmp\\", false}, {"tmp/", true}},
                "POSIX");
  }
}

TEST(Filter, UnreadablePatternsAreRefusedAndNamed) {
  struct Bad {
    const char* text;
    int result;
  };
  for (const Bad& bad :
       {Bad{"", filterEmptyPattern}, Bad{"/", filterEmptyPattern}, Bad{"//", filterEmptyPattern},
        Bad{"[abc", filterUnclosedClass}, Bad{"a[", filterUnclosedClass},
        Bad{"[]", filterUnclosedClass}, Bad{"[!]", filterUnclosedClass},
        Bad{"a[b/c]", filterUnclosedClass}, Bad{"[z-a]", filterReversedRange}}) {
    FilterSet set;
    set.sources = {{"*.ok", filterExclude, ""}, {bad.text, filterInclude, ""}};
    int32_t failed = -1;
    EXPECT_EQ(bad.result, compileFilterSet(&set, 0, &failed)) << bad.text;
    EXPECT_EQ(1, failed) << bad.text;
    EXPECT_FALSE(filtersActive(&set)) << bad.text;
    EXPECT_STRNE("a good pattern", filterResultText(bad.result));
  }
}

namespace {
// A plain recursive glob of one name, the reference the compiled matcher must agree
// with on names of ASCII letters.
bool referenceName(const char* p, const char* s) {
  if (*p == '\0') return *s == '\0';
  if (*p == '*') return referenceName(p + 1, s) || (*s && referenceName(p, s + 1));
  if (*s == '\0') return false;
  if (*p == '[') {
    const char* end = strchr(p + 1, ']');
    bool in = memchr(p + 1, *s, static_cast<size_t>(end - p - 1)) != nullptr;
    return in && referenceName(end + 1, s + 1);
  }
  return (*p == '?' || *p == *s) && referenceName(p + 1, s + 1);
}
}  // namespace

TEST(Filter, AgreesWithAPlainGlobOnRandomNames) {
  uint64_t state = 12345;
  auto below = [&state](int n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>((state >> 33) % static_cast<uint64_t>(n));
  };
  static const char* pieces[] = {"a", "b", "ab", "*", "?", "[ab]", "[bc]", "c"};
  for (int round = 0; round < 3000; ++round) {
    std::string pattern, name;
    for (int i = 1 + below(5); i > 0; --i) pattern += pieces[below(8)];
    for (int i = below(7); i > 0; --i) name += "abc"[below(3)];
    if (name.empty()) continue;
    FilterSet set = makeSet({pattern});
    EXPECT_EQ(!referenceName(pattern.c_str(), name.c_str()), mirrored(set, name))
        << pattern << " on " << name;
  }
}

TEST(Filter, ManyPatternsShareTheirIndexWithoutLosingAny) {
  // A hundred patterns, most ending in the same few bytes: each still matches its own.
  std::vector<std::string> patterns;
  for (int i = 0; i < 100; ++i)
    patterns.push_back(i % 3 == 0   ? "*." + std::to_string(i) + "x"
                       : i % 3 == 1 ? "name" + std::to_string(i)
                                    : "/top" + std::to_string(i) + "/*");
  FilterSet set = makeSet(patterns);
  for (int i = 0; i < 100; ++i) {
    std::string path = i % 3 == 0   ? "d/file." + std::to_string(i) + "x"
                       : i % 3 == 1 ? "d/e/name" + std::to_string(i)
                                    : "top" + std::to_string(i) + "/f";
    EXPECT_FALSE(mirrored(set, path)) << path;
  }
  EXPECT_TRUE(mirrored(set, "d/file.1000x"));
  EXPECT_TRUE(mirrored(set, "d/top2/f"));
}
