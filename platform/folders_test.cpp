// Changes through the destination's folder handles: never through a link on the way.
#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/held_tree_fixture.h"
#include "platform/test_support.h"

namespace {
class TreeFoldersTest : public HeldTreeTest {
 protected:
  // Holds path afresh in held, and opens folders on it.
  void holdRoot(const std::string& path, int expected) {
    closeTreeFolders(&folders);
    releaseHeldFolder(&held);
    ASSERT_EQ(expected, holdFolder(&held, path.c_str())) << path;
    ASSERT_EQ(0, openTreeFolders(&folders, &held));
  }
  std::string below(std::initializer_list<const char*> parts) const {
    std::string path = root;
    for (const char* part : parts) path = joinPath(path, part);
    return path;
  }
};

constexpr FileTime someTime = {0x12345678u, 0x01d00000u};

TEST_F(TreeFoldersTest, ChangesInRealFoldersAreMade) {
  ASSERT_EQ(folderDone, makeFoldersIn(&folders, below({"a", "b"}).c_str(), nullptr));
  FileHandle file = createNewFileIn(&folders, below({"a", "b", "f.partial"}).c_str(), 0666);
  ASSERT_NE(noFile, file);
  ASSERT_EQ(1, writeToFile(file, "x", 1));
  EXPECT_EQ(0, closeFile(file));
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
  EXPECT_EQ(noFile, createNewFileIn(&folders, joinPath(scratch, "f").c_str(), 0666));
  EXPECT_EQ(noFile, createNewFileIn(&folders, below({"..", "f"}).c_str(), 0666));
  EXPECT_FALSE(pathExists(joinPath(scratch, "f")));
}

TEST_F(TreeFoldersTest, NoChangeGoesThroughALinkOnTheWay) {
  std::string outside = joinPath(scratch, "outside");
  ASSERT_TRUE(writeFileBytes(joinPath(outside, "victim"), "outside"));
  if (!makeSymlink(outside, below({"sub"}))) GTEST_SKIP() << "symbolic links cannot be made here";
  std::string victim = below({"sub", "victim"});
  EXPECT_EQ(folderRefused, deleteFileIn(&folders, victim.c_str()));
  EXPECT_EQ(noFile, createNewFileIn(&folders, below({"sub", "new"}).c_str(), 0666));
  EXPECT_EQ(noFile, createNewFileIn(&folders, victim.c_str(), 0666));
  EXPECT_EQ(folderRefused, removeEmptyFolderIn(&folders, below({"sub"}).c_str()));
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

// A copy's own file is made only where nothing stands: never over a file, a folder,
// a pipe or a link, whoever put it there; the reason says so.
TEST_F(TreeFoldersTest, NewFilesNeverTakeThePlaceOfAnything) {
  ASSERT_TRUE(writeFileBytes(below({"file"}), "the user's"));
  ASSERT_TRUE(makeFolders(below({"folder"})));
  std::string outside = joinPath(scratch, "outside");
  ASSERT_TRUE(writeFileBytes(outside, "outside"));
  bool linked = makeSymlink(outside, below({"link"}));
  for (const char* name : {"file", "folder", "link"}) {
    if (std::string(name) == "link" && !linked) continue;
    EXPECT_EQ(noFile, createNewFileIn(&folders, below({name}).c_str(), 0666)) << name;
    EXPECT_TRUE(isAlreadyExists(lastFailureCode())) << name;
  }
  std::string bytes;
  EXPECT_TRUE(readFileBytes(below({"file"}), &bytes) && bytes == "the user's");
  EXPECT_TRUE(readFileBytes(outside, &bytes) && bytes == "outside");
}

// An empty folder gives way to a file; one that holds anything stays.
TEST_F(TreeFoldersTest, OnlyAnEmptyFolderIsRemoved) {
  ASSERT_TRUE(makeFolders(below({"empty"})));
  ASSERT_TRUE(writeFileBytes(below({"full", "kept"}), "kept"));
  EXPECT_EQ(replaceableRefused, checkReplaceableIn(&folders, below({"empty"}).c_str()));
  EXPECT_EQ(folderDone, removeEmptyFolderIn(&folders, below({"empty"}).c_str()));
  EXPECT_FALSE(pathExists(below({"empty"})));
  EXPECT_EQ(folderRefused, removeEmptyFolderIn(&folders, below({"full"}).c_str()));
  EXPECT_TRUE(pathExists(below({"full", "kept"})));
  EXPECT_EQ(folderRefused, removeEmptyFolderIn(&folders, below({"full", "kept"}).c_str()));
  EXPECT_EQ(folderMissing, removeEmptyFolderIn(&folders, below({"gone"}).c_str()));
}

TEST_F(TreeFoldersTest, TheRootIsTheUsersOwnPathAndMayBeMissing) {
  std::string real = joinPath(scratch, "real");
  ASSERT_TRUE(makeFolders(real));
  std::string linkedRoot = joinPath(scratch, "linked");
  if (makeSymlink(real, linkedRoot)) {
    // A root given through a link is followed, as the listing follows it.
    holdRoot(linkedRoot, folderDone);
    FileHandle file = createNewFileIn(&folders, joinPath(linkedRoot, "f").c_str(), 0666);
    ASSERT_NE(noFile, file);
    closeFile(file);
    EXPECT_TRUE(pathExists(joinPath(real, "f")));
  }
  std::string missing = joinPath(joinPath(scratch, "new"), "root");
  holdRoot(missing, folderMissing);
  EXPECT_EQ(replaceableFree, checkReplaceableIn(&folders, joinPath(missing, "f").c_str()));
  EXPECT_FALSE(pathExists(missing));
  EXPECT_EQ(folderDone, makeFoldersIn(&folders, joinPath(missing, "a").c_str(), nullptr));
  EXPECT_TRUE(pathExists(joinPath(missing, "a")));
}

// Held at the start, the root stays the folder it was: a link put in its place (or
// in the place of a folder not made yet) later is never followed.
TEST_F(TreeFoldersTest, AHeldRootSwappedForALinkIsNotFollowed) {
  if (platformIsWindows) GTEST_SKIP() << "a held folder cannot be renamed on Windows";
  std::string outside = joinPath(scratch, "outside");
  ASSERT_TRUE(makeFolders(outside));
  std::string moved = joinPath(scratch, "dst-moved");
  ASSERT_EQ(0, rename(root.c_str(), moved.c_str()));
  if (!makeSymlink(outside, root)) GTEST_SKIP() << "symbolic links cannot be made here";
  FileHandle file = createNewFileIn(&folders, below({"f"}).c_str(), 0666);
  ASSERT_NE(noFile, file);
  closeFile(file);
  EXPECT_FALSE(pathExists(joinPath(outside, "f")));
  EXPECT_TRUE(pathExists(joinPath(moved, "f")));
  // A root not made yet, whose place a link takes before the first change.
  std::string missing = joinPath(joinPath(scratch, "later"), "root");
  holdRoot(missing, folderMissing);
  ASSERT_TRUE(makeSymlink(outside, joinPath(scratch, "later")));
  EXPECT_EQ(folderRefused, makeFoldersIn(&folders, joinPath(missing, "a").c_str(), nullptr));
  EXPECT_FALSE(pathExists(joinPath(outside, "root")));
}

TEST_F(TreeFoldersTest, HeldFoldersAreMadeRemovedAndTriedThroughTheirHandles) {
  HeldFolder backup, runFolder;
  std::string backupPath = joinPath(joinPath(scratch, "bk"), "versions");
  ASSERT_EQ(folderMissing, holdFolder(&backup, backupPath.c_str()));
  ASSERT_EQ(folderDone, makeHeldFolder(&backup));
  EXPECT_TRUE(pathExists(backupPath));
  ASSERT_EQ(folderDone, makeNewHeldFolder(&backup, "run", &runFolder));
  HeldFolder again;
  EXPECT_EQ(folderRefused, makeNewHeldFolder(&backup, "run", &again));
  EXPECT_TRUE(isAlreadyExists(lastFailureCode()));
  // The move every deletion makes, tried with a file of its own: nothing stays.
  EXPECT_EQ(0, tryMoveBetween(&held, &runFolder));
  EXPECT_TRUE(listFiles(root).empty());
  EXPECT_TRUE(listFiles(joinPath(backupPath, "run")).empty());
  FileIdentity scratchIdentity, rootIdentity;
  ASSERT_EQ(0, fileIdentity(scratch.c_str(), &scratchIdentity));
  ASSERT_EQ(0, heldFolderIdentity(&held, &rootIdentity));
  EXPECT_EQ(1, heldFolderLiesWithin(&runFolder, scratchIdentity));
  EXPECT_EQ(0, heldFolderLiesWithin(&runFolder, rootIdentity));
  releaseHeldFolder(&runFolder);
  EXPECT_EQ(0, removeEmptyHeldFolder(&backup, "run"));
  EXPECT_FALSE(pathExists(joinPath(backupPath, "run")));
  releaseHeldFolder(&backup);
}

// Once the run began, nothing takes a whole path to change the file system: the
// test build stops at once, naming the caller.
TEST(WholePathChanges, AfterTheRunBeganTheyEndTheProcess) {
  std::string scratch = makeScratchFolder();
  ASSERT_FALSE(scratch.empty());
  HeldFolder held;
  ASSERT_EQ(folderDone, holdFolder(&held, scratch.c_str()));
  FILE* before = openLogIn(&held, "log");
  ASSERT_NE(nullptr, before);
  fclose(before);
  HeldFolder missing;
  ASSERT_EQ(folderMissing, holdFolder(&missing, joinPath(scratch, "later").c_str()));
  EXPECT_DEATH(
      {
        beginHeldChanges();
        openLogIn(&held, "log");
      },
      "openLogIn took a whole path to change the file system after the run began");
  EXPECT_DEATH(
      {
        beginHeldChanges();
        makeHeldFolder(&missing);
      },
      "makeHeldFolder took a whole path to change the file system after the run began");
  EXPECT_FALSE(heldChangesBegun());
  EXPECT_FALSE(pathExists(joinPath(scratch, "later")));
  releaseHeldFolder(&missing);
  releaseHeldFolder(&held);
  removeScratchFolder(scratch);
}
}  // namespace
