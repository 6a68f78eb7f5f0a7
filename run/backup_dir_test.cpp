// --backup-dir: what a run deletes or replaces is moved, never lost; the folders it
// refuses stop the run before anything is listed.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>

#include "base/backup_tag.h"
#include "run/run_fixture.h"

namespace {
const std::string separator(1, pathSeparator);
constexpr int64_t oldUnits = 130000000000000000LL;  // 2012
constexpr int64_t newUnits = 133000000000000000LL;  // 2022

FileTime unitsTime(int64_t units) {
  return FileTime{static_cast<uint32_t>(units), static_cast<uint32_t>(units >> 32)};
}

// The names of the folders of root (the runs' folders of a backup folder).
std::set<std::string> foldersOf(const std::string& root) {
  std::set<std::string> names;
  auto sink = [](void* context, const char* name, int isDirectory, uint64_t, FileTime) {
    if (isDirectory == 1 && strcmp(name, ".") != 0 && strcmp(name, ".."))
      static_cast<std::set<std::string>*>(context)->insert(name);
  };
  enumerateDirectory(root.c_str(), sink, &names);
  return names;
}

// True when name is a run's folder: YYYY-MM-DD_HHMMSS, then maybe _N.
bool isRunFolderName(const std::string& name) {
  const std::string form = "dddd-dd-dd_dddddd";
  if (name.size() < form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i)
    if (form[i] == 'd' ? name[i] < '0' || name[i] > '9' : name[i] != form[i]) return false;
  return name.size() == form.size() || name[form.size()] == '_';
}

class BackupDir : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    backup = joinPath(scratch, "versions");
    // An update: the destination's twin is older.
    ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "sub"), "deep.txt"), "old deep"));
    ASSERT_EQ(0, setFileTimes(joinPath(joinPath(destination, "sub"), "deep.txt").c_str(),
                              unitsTime(oldUnits)));
    ASSERT_EQ(0, setFileTimes(joinPath(joinPath(source, "sub"), "deep.txt").c_str(),
                              unitsTime(newUnits)));
    ASSERT_EQ(0, setFileTimes(joinPath(destination, "stale.txt").c_str(), unitsTime(oldUnits + 1)));
    if (!platformIsWindows) {
      ASSERT_TRUE(setPermissionBits(joinPath(destination, "stale.txt"), 0640));
    }
  }
  // Expects the files of a backup folder to be its tag and, in its one run folder, the old
  // stale.txt and sub/deep.txt with their times; returns that folder's name.
  std::string expectOldFilesIn(const std::string& folder) {
    std::set<std::string> runs = foldersOf(folder);
    EXPECT_EQ(1u, runs.size());
    if (runs.size() != 1) return std::string();
    std::string run = *runs.begin();
    EXPECT_TRUE(isRunFolderName(run)) << run;
    std::map<std::string, std::string> expected = {
        {backupTagName, backupTagText},
        {run + separator + "stale.txt", "only in the destination"},
        {run + separator + "sub" + separator + "deep.txt", "old deep"}};
    EXPECT_EQ(expected, snapshot(folder));
    FileTimes times;
    EXPECT_TRUE(readFileTimes(joinPath(joinPath(folder, run), "stale.txt"), &times));
    EXPECT_EQ(oldUnits + 1, times.lastWrite);
    EXPECT_TRUE(
        readFileTimes(joinPath(joinPath(joinPath(folder, run), "sub"), "deep.txt"), &times));
    EXPECT_EQ(oldUnits, times.lastWrite);
    if (!platformIsWindows) {
      EXPECT_EQ(0640, permissionBits(joinPath(joinPath(folder, run), "stale.txt")) & 0777);
    }
    return run;
  }
  // Runs and expects the refusal: exit 2, line last, nothing changed or made.
  void expectRefused(const std::string& folder, const std::string& line) {
    std::map<std::string, std::string> sourceBefore = snapshot(source);
    std::map<std::string, std::string> destinationBefore = snapshot(destination);
    EXPECT_EQ(2, run({destination, source, "--backup-dir=" + folder, "-v"})) << output;
    ASSERT_FALSE(lines().empty());
    EXPECT_EQ(line, lines().back()) << output;
    EXPECT_FALSE(printed("Thread 1 running - listing destination directory !")) << output;
    EXPECT_EQ(sourceBefore, snapshot(source));
    EXPECT_EQ(destinationBefore, snapshot(destination));
    for (const std::string& name : foldersOf(folder)) EXPECT_FALSE(isRunFolderName(name)) << name;
  }
  std::string backup;
};

TEST_F(BackupDir, WhatARunDeletesOrReplacesIsMovedThereWithItsTimeAndBits) {
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup, "-v", "-l", "--stats"}))
      << output;
  EXPECT_EQ(snapshot(source), snapshot(destination));
  // The summary tells the deletion as the move it was, and the updated file's move.
  EXPECT_EQ(0u, lines().back().find("Done: 1 copied, 1 updated (")) << output;
  EXPECT_NE(std::string::npos, lines().back().find(", 2 moved to the backup folder, ")) << output;
  std::string run1 = expectOldFilesIn(backup);
  std::string into = joinPath(backup, run1);
  std::string deep = separator + "sub" + separator + "deep.txt";
  EXPECT_TRUE(printed("Moving [" + joinPath(destination, "stale.txt") + "] to [" +
                      joinPath(into, "stale.txt") + "]"))
      << output;
  EXPECT_TRUE(printed("Moving [" + destination + deep + "] to [" + into + deep + "]")) << output;
  EXPECT_FALSE(printed("We need to delete " + joinPath(destination, "stale.txt"))) << output;
  std::string log;
  ASSERT_TRUE(readFileBytes(joinPath(scratch, ".mirror_log"), &log));
  const std::string lineEnd = platformIsWindows ? "\r\n" : "\n";
  EXPECT_NE(std::string::npos, log.find("Updated " + deep + "\t4" + lineEnd + "Moved " + deep +
                                        "\t" + into + deep + lineEnd))
      << log;
  EXPECT_NE(std::string::npos,
            log.find("Moved " + separator + "stale.txt\t" + joinPath(into, "stale.txt") + lineEnd))
      << log;
  EXPECT_EQ(std::string::npos, log.find("Deleted")) << log;
  // A second run moves nothing and leaves no folder of its own behind.
  ASSERT_EQ(0, run({destination, source, "--backup-dir", backup, "-v"})) << output;
  EXPECT_TRUE(printed("Nothing to do, folders are equal !")) << output;
  EXPECT_EQ(run1, expectOldFilesIn(backup));
  // Without the option, a deletion is a deletion.
  ASSERT_TRUE(writeFileBytes(joinPath(destination, "later.txt"), "later"));
  ASSERT_EQ(0, run({destination, source, "-v"})) << output;
  EXPECT_TRUE(printed("We need to delete " + joinPath(destination, "later.txt"))) << output;
  EXPECT_EQ(run1, expectOldFilesIn(backup));
}

TEST_F(BackupDir, ARunNeverWritesIntoTheFolderOfAnotherRun) {
  // The folders a run of this second or the next ones would take, made already.
  time_t now = time(nullptr);
  std::set<std::string> taken;
  for (int later = 0; later < 4; ++later) {
    time_t moment = now + later;
    char stamp[32];
    ASSERT_NE(0u, strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", localtime(&moment)));
    taken.insert(stamp);
    ASSERT_TRUE(writeFileBytes(joinPath(joinPath(backup, stamp), "stale.txt"), "another run's"));
  }
  std::map<std::string, std::string> before = snapshot(backup);
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup})) << output;
  std::map<std::string, std::string> after = snapshot(backup);
  for (const auto& file : before) EXPECT_EQ(file.second, after[file.first]) << file.first;
  std::set<std::string> runs = foldersOf(backup);
  ASSERT_EQ(taken.size() + 1, runs.size());
  for (const std::string& run : runs) {
    if (taken.count(run)) continue;
    EXPECT_TRUE(taken.count(run.substr(0, run.size() - 2))) << run;
    EXPECT_EQ("_2", run.substr(run.size() - 2)) << run;
    EXPECT_EQ("only in the destination", after[run + separator + "stale.txt"]);
    EXPECT_EQ("old deep", after[run + separator + "sub" + separator + "deep.txt"]);
  }
}

TEST_F(BackupDir, ABackupFolderInTheDestinationIsNeitherListedDeletedNorCopiedInto) {
  std::string inside = joinPath(destination, ".versions");
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + inside})) << output;
  expectOldFilesIn(inside);
  std::map<std::string, std::string> mirrored = snapshot(source);
  std::map<std::string, std::string> kept = snapshot(inside);
  // The folder is not the source's: its files are not deleted, nor counted.
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + inside, "--max-delete=0", "-v"}))
      << output;
  EXPECT_TRUE(printed("We have 2 destination and 2 source indexes")) << output;
  EXPECT_TRUE(printed("Nothing to do, folders are equal !")) << output;
  EXPECT_EQ(kept, snapshot(inside));
  // A source file that would land in it is not copied there: the run says so.
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, ".versions"), "x.txt"), "x"));
  EXPECT_EQ(1, run({destination, source, "--backup-dir=" + inside, "-v"})) << output;
  EXPECT_TRUE(printed("Not copied [" + source + separator + ".versions" + separator +
                      "x.txt]: it would land in the backup folder !"))
      << output;
  EXPECT_EQ(kept, snapshot(inside));
  // The destination holds the mirror and, beside it, the kept versions.
  std::map<std::string, std::string> all = snapshot(destination);
  EXPECT_EQ(mirrored.size() + kept.size(), all.size());
}

TEST_F(BackupDir, APreviewTellsTheMovesAndMakesNothing) {
  std::map<std::string, std::string> before = snapshot(destination);
  ASSERT_EQ(0, run({destination, source, "--backup-dir=" + backup, "-p", "-v", "--stats"}))
      << output;
  // The stale file, and the file the update would replace.
  EXPECT_NE(std::string::npos, lines().back().find(", 2 to move to the backup folder, ")) << output;
  EXPECT_EQ(before, snapshot(destination));
  EXPECT_FALSE(pathExists(backup));
  int moves = 0;
  const std::string start =
      "Moving [" + joinPath(destination, "stale.txt") + "] to [" + backup + separator;
  for (const std::string& line : lines()) {
    if (line.compare(0, 8, "Moving [") != 0) continue;
    ++moves;
    if (line.compare(0, start.size(), start) == 0) {
      EXPECT_TRUE(isRunFolderName(line.substr(start.size(), 17))) << line;
    }
  }
  EXPECT_EQ(2, moves) << output;
}

TEST_F(BackupDir, AFolderThatCannotTakeTheMovesIsRefusedBeforeAnyListing) {
  std::string inSource = joinPath(source, "versions");
  std::string resolvedSource = source + separator;
  expectRefused(inSource, "The backup folder [" + inSource + separator +
                              "] lies inside the source folder [" + resolvedSource + "] !");
  expectRefused(source, "The backup folder [" + resolvedSource +
                            "] lies inside the source folder [" + resolvedSource + "] !");
  expectRefused(destination + separator,
                "The backup folder [" + destination + separator +
                    "] is the destination folder: give a folder inside it or beside it !");
  std::string elsewhere = joinPath(scratch, "elsewhere");
  // A second file system: a tmpfs, where a privileged run may mount one.
  if (platformIsWindows || !runningPrivileged() || !makeFolders(elsewhere) ||
      !mountSmallFileSystem(elsewhere, 256))
    return;
  std::string onOther = joinPath(elsewhere, "versions");
  expectRefused(onOther, "The backup folder [" + onOther + separator +
                             "] is not on the file system of the destination folder [" +
                             destination + separator + "]: files are moved there, never copied !");
  unmountFileSystem(elsewhere);
}
}  // namespace
