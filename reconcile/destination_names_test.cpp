// The rules of a destination that ignores letter case: which names fold together,
// which names exFAT and FAT refuse, and which rules a folder of the tree gets.
#include "reconcile/destination_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "collect/path_key.h"
#include "platform/mount_support.h"
#include "platform/test_support.h"

namespace {
struct FoldCase {
  const char* a;
  const char* b;
  bool oneFile;
};

TEST(FoldedNames, LettersFoldBeyondAsciiAndKeysAgree) {
  buildPathKeyTable();
  const FoldCase cases[] = {
      {"/a.txt", "/A.TXT", true},
      {"/Docs/Report.doc", "/docs/report.DOC", true},
      {"/\xC3\x89t\xC3\xA9.txt", "/\xC3\xA9T\xC3\x89.TXT", true},        // Été, éTÉ
      {"/\xCE\xA9MEGA", "/\xCF\x89mega", true},                          // ΩMEGA, ωmega
      {"/\xD0\x96\xD1\x83\xD0\xBA", "/\xD0\xB6\xD0\xA3\xD0\x9A", true},  // Жук, жУК
      {"/a.txt", "/b.txt", false},
      {"/a.txt", "/a.txt2", false},
      {"/x\xC4", "/x\xE4", false},  // no UTF-8: the bytes stay as they are
      {"/\xF0\x9F\x98\x80", "/\xF0\x9F\x98\x81", false},
  };
  for (const FoldCase& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " " + c.b);
    EXPECT_EQ(c.oneFile, foldedNamesEqual(c.a, c.b) != 0);
    EXPECT_EQ(c.oneFile, foldedNamesEqual(c.b, c.a) != 0);
    if (c.oneFile) {
      EXPECT_EQ(computeFoldedPathKey(c.a, strlen(c.a)), computeFoldedPathKey(c.b, strlen(c.b)));
    }
  }
  // On POSIX the plain key of an ASCII path is its folded key: an ext4 destination
  // and an exFAT one bucket such names alike.
  EXPECT_EQ(computePathKey("/abc", 4), computeFoldedPathKey("/ABC", 4));
}

FileEntry entryOn(const char* path, int rules) {
  FileEntry entry = {};
  entry.relativePath = const_cast<char*>(path);
  entry.nameRules = static_cast<uint8_t>(rules);
  return entry;
}

TEST(RefusedNames, ExfatAndFatRefuseWhatWindowsCannotName) {
  forgetDestinationNames();
  const struct {
    const char* path;
    const char* reason;
  } cases[] = {
      {"/ok/fine name.txt", nullptr},
      {"/.hidden", nullptr},
      {"/a\"b", "a character it does not allow"},
      {"/a*b", "a character it does not allow"},
      {"/a<b>", "a character it does not allow"},
      {"/folder|x/in.txt", "a character it does not allow"},
      {"/tab\there", "a control character"},
      {"/folder./in.txt", "a trailing dot or space"},
      {"/name ", "a trailing dot or space"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const char* got = refusedName(entryOn(c.path, namesExfat));
    EXPECT_STREQ(c.reason, got);
    EXPECT_STREQ(c.reason, refusedName(entryOn(c.path, namesFat)));
    // A file system that only folds case takes every one of them.
    EXPECT_EQ(nullptr, refusedName(entryOn(c.path, namesFoldCase)));
  }
  // 255 UTF-16 units a name: 255 CJK characters fit, 256 do not; a character
  // beyond U+FFFF takes two.
  std::string fits = "/", tooLong = "/", pairs = "/";
  for (int i = 0; i < 255; ++i) fits += "\xE8\xAA\x9E";
  tooLong = fits + "x";
  for (int i = 0; i < 128; ++i) pairs += "\xF0\x9F\x98\x80";
  EXPECT_EQ(nullptr, refusedName(entryOn(fits.c_str(), namesExfat)));
  EXPECT_STREQ("longer than 255 characters", refusedName(entryOn(tooLong.c_str(), namesFat)));
  EXPECT_STREQ("longer than 255 characters", refusedName(entryOn(pairs.c_str(), namesExfat)));
}

// A destination on the machine's own file system keeps its byte names; an exFAT
// stick mounted below it has its own rules, and only the names below the mount
// point count as its names.
TEST(DestinationNameRules, EachMountHasItsOwnRules) {
  std::string scratch = makeScratchFolder();
  std::string root = joinPath(scratch, "dst");
  ASSERT_TRUE(makeFolders(root));
  EXPECT_EQ(namesAsPlatform, folderNameRules(root.c_str()));
  EXPECT_EQ(namesAsPlatform, folderNameRules(joinPath(root, "not/yet").c_str()));
  TestMount stick = {"", "", "", false};
  std::string why = mountTestImage(mountExfatFuse, joinPath(scratch, "stick.img"),
                                   joinPath(root, "stick."), 32, &stick);
  if (why.empty()) {
    EXPECT_EQ(namesExfat, folderNameRules(joinPath(root, "stick.").c_str()));
    EXPECT_EQ(namesExfat, folderNameRules(joinPath(root, "stick./new/folder").c_str()));
    EXPECT_EQ(0, learnDestinationNames(root.c_str()));
    EXPECT_EQ(namesAsPlatform, nameRulesFor("/a.txt"));
    EXPECT_EQ(namesAsPlatform, nameRulesFor("/stick.er/a.txt"));
    EXPECT_EQ(namesExfat, nameRulesFor("/stick./a.txt"));
    // The mount point's own name lies on the file system above it.
    EXPECT_EQ(nullptr, refusedName(entryOn("/stick./a.txt", namesExfat)));
    EXPECT_STREQ("a trailing dot or space", refusedName(entryOn("/stick./b.", namesExfat)));
    forgetDestinationNames();
  }
  unmountTestImage(&stick);
  removeScratchFolder(scratch);
  if (!why.empty()) GTEST_SKIP() << why;
}
}  // namespace
