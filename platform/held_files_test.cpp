// The small files and whole trees a run changes in a folder it holds: a new file
// never made over anything, a tree removed without ever following a link.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/folders.h"
#include "platform/test_support.h"

namespace {
class HeldFiles : public testing::Test {
 protected:
  void SetUp() override {
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    top = joinPath(scratch, "top");
    ASSERT_TRUE(makeFolders(top));
    ASSERT_EQ(folderDone, holdFolder(&held, top.c_str()));
  }
  void TearDown() override {
    releaseHeldFolder(&held);
    removeScratchFolder(scratch);
  }
  std::string text(const std::string& path) {
    std::string bytes;
    return readFileBytes(path, &bytes) ? bytes : "<missing>";
  }
  std::string scratch, top;
  HeldFolder held = {noFolder, nullptr, 0};
};

TEST_F(HeldFiles, ASmallFileIsMadeOnlyWhereNothingStandsUnlessItOverwritesAFile) {
  ASSERT_EQ(folderDone, writeSmallFileIn(&held, "tag", "first", 5, 0));
  EXPECT_EQ("first", text(joinPath(top, "tag")));
  EXPECT_EQ(folderRefused, writeSmallFileIn(&held, "tag", "second", 6, 0));
  EXPECT_TRUE(isAlreadyExists(lastFailureCode()));
  EXPECT_EQ("first", text(joinPath(top, "tag")));
  ASSERT_EQ(folderDone, writeSmallFileIn(&held, "tag", "longer text", 11, 1));
  EXPECT_EQ("longer text", text(joinPath(top, "tag")));
  // Overwriting makes nothing new, and never writes through a link.
  EXPECT_EQ(folderRefused, writeSmallFileIn(&held, "none", "x", 1, 1));
  EXPECT_FALSE(pathExists(joinPath(top, "none")));
  std::string outside = joinPath(scratch, "outside.txt");
  ASSERT_TRUE(writeFileBytes(outside, "outside"));
  if (makeSymlink(outside, joinPath(top, "link"))) {
    EXPECT_EQ(folderRefused, writeSmallFileIn(&held, "link", "x", 1, 1));
    EXPECT_EQ(folderRefused, writeSmallFileIn(&held, "link", "x", 1, 0));
    EXPECT_EQ("outside", text(outside));
    char start[16];
    EXPECT_EQ(-1, readFileStart(joinPath(top, "link").c_str(), start, sizeof start));
  }
  char start[4];
  EXPECT_EQ(4, readFileStart(joinPath(top, "tag").c_str(), start, sizeof start));
  EXPECT_EQ("long", std::string(start, 4));
  EXPECT_EQ(-1, readFileStart(top.c_str(), start, sizeof start));
}

TEST_F(HeldFiles, ATreeIsRemovedWholeAndALinkInItIsRemovedNotFollowed) {
  std::string run = joinPath(top, "run");
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(joinPath(run, "a"), "b"), "deep.txt"), "deep"));
  ASSERT_TRUE(writeFileBytes(joinPath(run, "top.txt"), "top"));
  ASSERT_TRUE(makeFolders(joinPath(run, "empty")));
  ASSERT_TRUE(setWritable(joinPath(run, "top.txt"), false));
  std::string outside = joinPath(scratch, "outside");
  ASSERT_TRUE(writeFileBytes(joinPath(outside, "precious.txt"), "precious"));
  bool linked = makeSymlink(outside, joinPath(joinPath(run, "a"), "escape"));
  ASSERT_TRUE(writeFileBytes(joinPath(top, "beside.txt"), "beside"));
  std::map<std::string, int> kinds;
  auto note = [](void* context, const char* name, int isFolder) {
    (*static_cast<std::map<std::string, int>*>(context))[name] = isFolder;
  };
  EXPECT_EQ(0, listHeldFolder(&held, note, &kinds));
  EXPECT_EQ((std::map<std::string, int>{{"beside.txt", 0}, {"run", 1}}), kinds);
  // A link or a file in the place of the folder is refused: nothing is removed.
  if (makeSymlink(outside, joinPath(top, "fake"))) {
    EXPECT_NE(0, removeFolderTreeIn(&held, "fake"));
    EXPECT_TRUE(pathExists(joinPath(top, "fake")));
  }
  EXPECT_NE(0, removeFolderTreeIn(&held, "beside.txt"));
  EXPECT_EQ(0, removeFolderTreeIn(&held, "run"));
  EXPECT_FALSE(pathExists(run));
  EXPECT_EQ("precious", text(joinPath(outside, "precious.txt")));
  EXPECT_EQ("beside", text(joinPath(top, "beside.txt")));
  if (!linked) GTEST_SKIP() << "no link could be made here";
}
}  // namespace
