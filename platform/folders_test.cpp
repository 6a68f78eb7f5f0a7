// Changes through the destination's folder handles: never through a link on the way.
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/test_support.h"

namespace {
class DestinationFoldersTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    root = joinPath(scratch, "dst");
    ASSERT_TRUE(makeFolders(root));
    ASSERT_EQ(0, openDestinationFolders(&folders, root.c_str()));
  }
  void TearDown() override {
    closeDestinationFolders(&folders);
    removeScratchFolder(scratch);
  }
  std::string below(std::initializer_list<const char*> parts) const {
    std::string path = root;
    for (const char* part : parts) path = joinPath(path, part);
    return path;
  }
  std::string scratch;
  std::string root;
  DestinationFolders folders;
};

constexpr FileTime someTime = {0x12345678u, 0x01d00000u};

TEST_F(DestinationFoldersTest, ChangesInRealFoldersAreMade) {
  ASSERT_EQ(folderDone, makeFoldersIn(&folders, below({"a", "b"}).c_str(), nullptr));
  FILE* file = createFileIn(&folders, below({"a", "b", "f.partial"}).c_str(), 0666);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(1u, fwrite("x", 1, 1, file));
  fclose(file);
  EXPECT_EQ(replaceableFree, checkReplaceableIn(&folders, below({"a", "b", "f"}).c_str()));
  EXPECT_EQ(0, moveFileIn(&folders, below({"a", "b", "f.partial"}).c_str(),
                          below({"a", "b", "f"}).c_str(), 0));
  EXPECT_EQ(0, setFileTimesIn(&folders, below({"a", "b", "f"}).c_str(), someTime));
  FileTime read;
  ASSERT_EQ(0, getFileTimeIn(&folders, below({"a", "b", "f"}).c_str(), &read));
  EXPECT_EQ(fileTimeValue(someTime), fileTimeValue(read));
  FileIdentity identity;
  EXPECT_EQ(0, fileIdentityIn(&folders, below({"a", "b", "f"}).c_str(), &identity));
  EXPECT_EQ(replaceableFile, checkReplaceableIn(&folders, below({"a", "b", "f"}).c_str()));
  EXPECT_EQ(folderDone, deleteFileIn(&folders, below({"a", "b", "f"}).c_str()));
  EXPECT_EQ(folderMissing, deleteFileIn(&folders, below({"a", "b", "f"}).c_str()));
  EXPECT_EQ(folderMissing, deleteFileIn(&folders, below({"gone", "f"}).c_str()));
  // Paths outside the root, and names that would climb out of it, are refused.
  EXPECT_EQ(nullptr, createFileIn(&folders, joinPath(scratch, "f").c_str(), 0666));
  EXPECT_EQ(nullptr, createFileIn(&folders, below({"..", "f"}).c_str(), 0666));
  EXPECT_FALSE(pathExists(joinPath(scratch, "f")));
}

TEST_F(DestinationFoldersTest, NoChangeGoesThroughALinkOnTheWay) {
  std::string outside = joinPath(scratch, "outside");
  ASSERT_TRUE(writeFileBytes(joinPath(outside, "victim"), "outside"));
  if (!makeSymlink(outside, below({"sub"}))) GTEST_SKIP() << "symbolic links cannot be made here";
  std::string victim = below({"sub", "victim"});
  EXPECT_EQ(folderRefused, deleteFileIn(&folders, victim.c_str()));
  EXPECT_EQ(nullptr, createFileIn(&folders, below({"sub", "new"}).c_str(), 0666));
  EXPECT_EQ(nullptr, createFileIn(&folders, victim.c_str(), 0666));
  EXPECT_EQ(replaceableRefused, checkReplaceableIn(&folders, victim.c_str()));
  EXPECT_NE(0, moveFileIn(&folders, victim.c_str(), below({"sub", "moved"}).c_str(), 1));
  EXPECT_NE(0, setFileTimesIn(&folders, victim.c_str(), someTime));
  EXPECT_EQ(folderRefused, makeFoldersIn(&folders, below({"sub", "made"}).c_str(), nullptr));
  FileIdentity identity;
  EXPECT_NE(0, fileIdentityIn(&folders, victim.c_str(), &identity));
  std::string bytes;
  EXPECT_TRUE(readFileBytes(joinPath(outside, "victim"), &bytes) && bytes == "outside");
  EXPECT_EQ(std::vector<std::string>{"victim"}, listFiles(outside));
  // The link itself may be removed, never what it leads to.
  EXPECT_EQ(folderLinkRemoved, removeFolderLinkIn(&folders, below({"sub"}).c_str()));
  EXPECT_FALSE(pathExists(below({"sub"})));
  EXPECT_TRUE(pathExists(joinPath(outside, "victim")));
}

TEST_F(DestinationFoldersTest, TheRootIsTheUsersOwnPathAndMayBeMissing) {
  closeDestinationFolders(&folders);
  std::string real = joinPath(scratch, "real");
  ASSERT_TRUE(makeFolders(real));
  std::string linkedRoot = joinPath(scratch, "linked");
  if (makeSymlink(real, linkedRoot)) {
    // A root given through a link is followed, as the listing follows it.
    ASSERT_EQ(0, openDestinationFolders(&folders, linkedRoot.c_str()));
    FILE* file = createFileIn(&folders, joinPath(linkedRoot, "f").c_str(), 0666);
    ASSERT_NE(nullptr, file);
    fclose(file);
    EXPECT_TRUE(pathExists(joinPath(real, "f")));
    closeDestinationFolders(&folders);
  }
  std::string missing = joinPath(joinPath(scratch, "new"), "root");
  ASSERT_EQ(0, openDestinationFolders(&folders, missing.c_str()));
  EXPECT_EQ(replaceableFree, checkReplaceableIn(&folders, joinPath(missing, "f").c_str()));
  EXPECT_FALSE(pathExists(missing));
  EXPECT_EQ(folderDone, makeFoldersIn(&folders, joinPath(missing, "a").c_str(), nullptr));
  EXPECT_TRUE(pathExists(joinPath(missing, "a")));
}
}  // namespace
