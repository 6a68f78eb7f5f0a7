// Kept versions stay kept: the backup folder carries a tag that every run knows, so
// that a run without --backup-dir neither deletes nor copies over what it keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "base/backup_tag.h"
#include "run/run_fixture.h"

namespace {
const std::string separator(1, pathSeparator);

// The names of the folders of root.
std::set<std::string> foldersOf(const std::string& root) {
  std::set<std::string> names;
  auto sink = [](void* context, const char* name, int isDirectory, uint64_t, FileTime) {
    if (isDirectory == 1 && strcmp(name, ".") != 0 && strcmp(name, ".."))
      static_cast<std::set<std::string>*>(context)->insert(name);
  };
  enumerateDirectory(root.c_str(), sink, &names);
  return names;
}

class KeptVersions : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    kept = joinPath(destination, ".versions");
  }
  std::string kept;
};

TEST_F(KeptVersions, ARunWithoutTheFlagLeavesTheTaggedFolderAlone) {
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + kept})) << output;
  std::string tag;
  ASSERT_TRUE(readFileBytes(joinPath(kept, backupTagName), &tag));
  EXPECT_EQ(std::string(backupTagText), tag);
  std::map<std::string, std::string> versions = snapshot(kept);
  ASSERT_EQ(2u, versions.size());  // the tag and stale.txt
  // Listed, its files would be deletions: --max-delete=0 would stop the run.
  ASSERT_EQ(0, run({destination, source, "--max-delete=0", "-v"})) << output;
  EXPECT_TRUE(printed("Passed over [" + kept + "]: a backup folder (it holds .talven-backup) !"))
      << output;
  EXPECT_TRUE(printed("We have 2 destination and 2 source indexes")) << output;
  EXPECT_TRUE(printed("Nothing to do, folders are equal !")) << output;
  ASSERT_EQ(0, run({destination, source})) << output;
  EXPECT_EQ(versions, snapshot(kept));
  // A source file that would land there fails alone; the others are copied.
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, ".versions"), "x.txt"), "x"));
  ASSERT_TRUE(writeFileBytes(joinPath(source, "later.txt"), "later"));
  EXPECT_EQ(1, run({destination, source, "-v"})) << output;
  EXPECT_TRUE(printed("Not copied [" + source + separator + ".versions" + separator +
                      "x.txt]: it would land in the backup folder !"))
      << output;
  EXPECT_EQ(versions, snapshot(kept));
  std::string later;
  EXPECT_TRUE(readFileBytes(joinPath(destination, "later.txt"), &later));
  EXPECT_EQ("later", later);
}

TEST_F(KeptVersions, ATagWithAWrongSignatureIsAnOrdinaryFile) {
  std::string signature = backupTagSignature;
  std::string old = joinPath(destination, "old");
  ASSERT_TRUE(writeFileBytes(joinPath(old, backupTagName), "Signature: my own notes\n"));
  ASSERT_TRUE(writeFileBytes(joinPath(old, "a.txt"), "a"));
  // The signature followed by more than a line end is another signature.
  std::string longer = joinPath(destination, "longer");
  ASSERT_TRUE(writeFileBytes(joinPath(longer, backupTagName), signature + "0\n"));
  // A link to a true tag is no tag: the folder's own file must carry it.
  std::string linked = joinPath(destination, "linked");
  std::string trueTag = joinPath(scratch, "true-tag");
  ASSERT_TRUE(writeFileBytes(trueTag, backupTagText));
  ASSERT_TRUE(makeFolders(linked));
  bool withLink = makeSymlink(trueTag, joinPath(linked, backupTagName));
  ASSERT_EQ(0, run({destination, source, "-v"})) << output;
  EXPECT_FALSE(pathExists(joinPath(old, "a.txt"))) << output;
  EXPECT_FALSE(pathExists(joinPath(old, backupTagName))) << output;
  EXPECT_FALSE(pathExists(joinPath(longer, backupTagName))) << output;
  if (withLink) {
    EXPECT_FALSE(pathExists(joinPath(linked, backupTagName))) << output;
  }
  EXPECT_EQ(std::string::npos, output.find("Passed over")) << output;
  // A true tag at the start of a file that goes on is one.
  ASSERT_TRUE(writeFileBytes(joinPath(old, backupTagName), signature + "\r\nnotes"));
  ASSERT_TRUE(writeFileBytes(joinPath(old, "a.txt"), "a"));
  ASSERT_EQ(0, run({destination, source})) << output;
  EXPECT_TRUE(pathExists(joinPath(old, "a.txt"))) << output;
}

// A tagged folder in the source is left out too: it keeps another mirror's versions,
// which would otherwise land in a tagged folder of the destination and fail each run.
TEST_F(KeptVersions, ATaggedFolderInTheSourceIsLeftOut) {
  std::string theirs = joinPath(joinPath(source, "sub"), "versions");
  ASSERT_TRUE(writeFileBytes(joinPath(theirs, backupTagName), backupTagText));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(theirs, "2020-01-01_000000"), "v.txt"), "v"));
  ASSERT_EQ(0, run({destination, source, "-v"})) << output;
  EXPECT_TRUE(printed("Passed over [" + theirs + "]: a backup folder (it holds .talven-backup) !"))
      << output;
  EXPECT_FALSE(pathExists(joinPath(joinPath(destination, "sub"), "versions")));
  ASSERT_EQ(0, run({destination, source})) << output;
  EXPECT_TRUE(printed("Nothing to do, folders are equal !")) << output;
}

TEST_F(KeptVersions, AUsersFileOfTheTagsNameIsNeverWrittenOver) {
  std::string backup = joinPath(scratch, "versions");
  ASSERT_TRUE(writeFileBytes(joinPath(backup, backupTagName), "mine"));
  std::map<std::string, std::string> before = snapshot(destination);
  EXPECT_EQ(2, run({destination, source, "--backup-dir=" + backup})) << output;
  EXPECT_EQ("The file [" + joinPath(backup, backupTagName) +
                "] is not the tag of a backup folder: move it away, or give another backup "
                "folder !",
            lines().back())
      << output;
  std::string mine;
  EXPECT_TRUE(readFileBytes(joinPath(backup, backupTagName), &mine));
  EXPECT_EQ("mine", mine);
  EXPECT_TRUE(foldersOf(backup).empty());
  EXPECT_EQ(before, snapshot(destination));
  // A tag cut short, as a run stopped while it made it leaves, is made whole.
  for (size_t length : {size_t(0), size_t(20)}) {
    std::string text(backupTagText, length);
    ASSERT_TRUE(writeFileBytes(joinPath(backup, backupTagName), text));
    ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup})) << output;
    std::string tag;
    EXPECT_TRUE(readFileBytes(joinPath(backup, backupTagName), &tag));
    EXPECT_EQ(std::string(backupTagText), tag);
  }
}

}  // namespace
