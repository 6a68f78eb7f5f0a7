// Kept versions stay kept: the backup folder carries a tag that every run knows, so
// that a run without --backup-dir neither deletes nor copies over what it keeps;
// --backup-keep removes the oldest run folders beyond a count, and nothing else.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>

#include "base/backup_tag.h"
#include "run/backup_keep.h"
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

// The stamp of a run started now.
std::string stampOfNow() {
  time_t now = time(nullptr);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", localtime(&now));
  return stamp;
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

TEST(BackupKeepNames, OnlyTheRunStampsAreRunFolders) {
  EXPECT_EQ(1, runFolderCount("2024-02-29_235959"));
  EXPECT_EQ(2, runFolderCount("2024-02-29_235959_2"));
  EXPECT_EQ(999, runFolderCount("2024-02-29_235959_999"));
  for (const char* name : {"2024-02-29_23595", "2024-02-29_235959_", "2024-02-29_235959_1",
                           "2024-02-29_235959_02", "2024-02-29_235959_1000", "2024-02-29 235959",
                           "2024-02-29_235959x", "notes", "", "2024-2-29_235959_2"})
    EXPECT_EQ(0, runFolderCount(name)) << name;
}

class BackupKeep : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    backup = joinPath(scratch, "versions");
    for (const char* name : {"2019-12-31_235959", "2020-01-01_000000", "2020-01-01_000000_2",
                             "2021-06-01_120000", "notes", "2020-01-01_000000_02"})
      ASSERT_TRUE(writeFileBytes(joinPath(joinPath(backup, name), "old.txt"), name));
    ASSERT_TRUE(writeFileBytes(joinPath(backup, "2018-01-01_000000"), "a file, no folder"));
  }
  std::string at(const std::string& name) const { return joinPath(backup, name); }
  std::string backup;
};

TEST_F(BackupKeep, KeepsTheNewestRunFoldersTheRunsOwnAmongThem) {
  // A link inside an old run folder to a folder outside: removed as a link, never followed.
  std::string outside = joinPath(scratch, "outside");
  ASSERT_TRUE(writeFileBytes(joinPath(outside, "precious.txt"), "precious"));
  bool withLink = makeSymlink(outside, joinPath(at("2019-12-31_235959"), "escape"));
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup, "--backup-keep=3", "-v"}))
      << output;
  std::set<std::string> runs = foldersOf(backup);
  std::set<std::string> expected = {"2020-01-01_000000_2", "2021-06-01_120000", "notes",
                                    "2020-01-01_000000_02"};
  std::string own;
  for (const std::string& name : runs)
    if (!expected.count(name)) own = name;
  EXPECT_EQ(0u, own.find(stampOfNow().substr(0, 8))) << output;
  expected.insert(own);
  EXPECT_EQ(expected, runs) << output;
  EXPECT_TRUE(pathExists(joinPath(at(own), "stale.txt")));
  EXPECT_TRUE(pathExists(at("2018-01-01_000000")));
  EXPECT_TRUE(pathExists(at(backupTagName)));
  // Oldest first, each told with -v.
  size_t first = output.find("Removing old run folder [" + at("2019-12-31_235959") + "]\n");
  size_t second = output.find("Removing old run folder [" + at("2020-01-01_000000") + "]\n");
  EXPECT_NE(std::string::npos, first) << output;
  EXPECT_NE(std::string::npos, second) << output;
  EXPECT_LT(first, second) << output;
  std::string precious;
  EXPECT_TRUE(readFileBytes(joinPath(outside, "precious.txt"), &precious));
  EXPECT_EQ("precious", precious);
  if (!withLink) GTEST_SKIP() << "no link could be made here";
}

TEST_F(BackupKeep, APreviewTellsWhatItWouldRemoveAndRemovesNothing) {
  std::map<std::string, std::string> before = snapshot(backup);
  // The run's own folder would take stale.txt: it counts among the two.
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup, "--backup-keep=2", "-p"}))
      << output;
  EXPECT_EQ(before, snapshot(backup));
  std::vector<std::string> told;
  for (const std::string& line : lines())
    if (line.compare(0, 24, "Removing old run folder ") == 0) told.push_back(line);
  std::vector<std::string> expected;
  for (const char* name : {"2019-12-31_235959", "2020-01-01_000000", "2020-01-01_000000_2"})
    expected.push_back("Removing old run folder [" + at(name) + "]");
  EXPECT_EQ(expected, told) << output;
}

TEST_F(BackupKeep, TheRunsOwnFolderIsNeverRemovedAndAFailedRunRemovesNothing) {
  // A folder stamped later than this run: the run's own counts as kept all the same.
  ASSERT_TRUE(writeFileBytes(joinPath(at("2999-01-01_000000"), "old.txt"), "future"));
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup, "--backup-keep=1"})) << output;
  std::set<std::string> runs = foldersOf(backup);
  EXPECT_EQ(3u, runs.size()) << output;  // the run's own, notes and the _02
  EXPECT_FALSE(runs.count("2999-01-01_000000")) << output;
  EXPECT_FALSE(runs.count("2021-06-01_120000")) << output;
  std::string own;
  for (const std::string& name : runs)
    if (runFolderCount(name.c_str()) > 0) own = name;
  EXPECT_EQ(0u, own.find(stampOfNow().substr(0, 8))) << own;
  EXPECT_TRUE(pathExists(joinPath(at(own), "stale.txt"))) << own;
  // A run with nothing to move makes no folder that stays: the last one is kept.
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup, "--backup-keep=1"})) << output;
  EXPECT_EQ(runs, foldersOf(backup));
  // A failed run removes nothing, though it moved a file and more folders are there.
  ASSERT_TRUE(writeFileBytes(joinPath(at("2020-05-05_050505"), "old.txt"), "old"));
  ASSERT_TRUE(writeFileBytes(joinPath(destination, "gone.txt"), "gone"));
  std::string keptElsewhere = joinPath(destination, "kept");
  ASSERT_TRUE(writeFileBytes(joinPath(keptElsewhere, backupTagName), backupTagText));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "kept"), "x.txt"), "x"));
  std::set<std::string> before = foldersOf(backup);
  EXPECT_EQ(1, run({destination, source, "--backup-dir=" + backup, "--backup-keep=1"})) << output;
  std::set<std::string> after = foldersOf(backup);
  for (const std::string& name : before) EXPECT_TRUE(after.count(name)) << name;
  EXPECT_EQ(before.size() + 1, after.size()) << output;
}

TEST_F(BackupKeep, IsRefusedWithoutTheBackupFolder) {
  std::map<std::string, std::string> before = snapshot(destination);
  EXPECT_EQ(2, run({destination, source, "--backup-keep=2"})) << output;
  EXPECT_EQ("Option [--backup-keep] keeps run folders of --backup-dir: give --backup-dir too !",
            lines().back())
      << output;
  EXPECT_EQ(before, snapshot(destination));
}
}  // namespace
