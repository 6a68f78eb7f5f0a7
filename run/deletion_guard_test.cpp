// The nets under a run's deletions: a source that holds no file, and --max-delete.
// Each stops the run before any change, with a line that gives the count.
#include <gtest/gtest.h>

#include "run/run_fixture.h"

namespace {
const std::string separator(1, pathSeparator);

class DeletionGuard : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    empty = joinPath(scratch, "empty");
    ASSERT_TRUE(makeFolders(empty));
    for (const char* name : {"a.txt", "b.txt"})
      ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "old"), name), name));
  }
  // Runs and expects the stop: exit 2, the line given last, nothing changed, and no
  // action logged.
  void expectStop(const std::vector<std::string>& arguments, const std::string& line) {
    std::map<std::string, std::string> sourceBefore = snapshot(arguments[1]);
    std::map<std::string, std::string> destinationBefore = snapshot(destination);
    EXPECT_EQ(2, run(arguments)) << output;
    ASSERT_FALSE(lines().empty());
    EXPECT_EQ(line, lines().back()) << output;
    EXPECT_EQ(sourceBefore, snapshot(arguments[1]));
    std::map<std::string, std::string> destinationAfter = snapshot(destination);
    // A log the run writes in the destination is its only change there.
    destinationBefore.erase("run.log");
    destinationAfter.erase("run.log");
    EXPECT_EQ(destinationBefore, destinationAfter);
    std::string log;
    if (readFileBytes(joinPath(scratch, ".mirror_log"), &log)) {
      EXPECT_EQ(std::string::npos, log.find("Deleted")) << log;
      EXPECT_EQ(std::string::npos, log.find("Got")) << log;
    }
  }
  std::string emptySourceLine(int files) const {
    return "The source folder [" + empty + "] holds no file: the run would delete the " +
           "destination's " + std::to_string(files) + (files == 1 ? " file" : " files") +
           "; nothing was changed (give --allow-empty-source to allow it) !";
  }
  std::string empty;
};

TEST_F(DeletionGuard, AnEmptySourceNeverEmptiesTheDestinationUnasked) {
  // A disk that was not mounted: its mount point is an empty folder.
  expectStop({destination, empty}, emptySourceLine(3));
  expectStop({destination, empty, "-v", "-l"}, emptySourceLine(3));
  // A preview tells the same stop.
  expectStop({destination, empty, "-p"}, emptySourceLine(3));
  // Folders alone are no files: an empty tree of folders is an empty source.
  ASSERT_TRUE(makeFolders(joinPath(joinPath(empty, "music"), "old")));
  expectStop({destination, empty, "--max-delete=10"}, emptySourceLine(3));
  ASSERT_EQ(0, run({destination, empty, "--allow-empty-source"})) << output;
  EXPECT_TRUE(snapshot(destination).empty()) << output;
  // Nothing to delete, nothing to stop.
  ASSERT_EQ(0, run({destination, empty})) << output;
  EXPECT_TRUE(printed("Nothing to do, folders are equal !")) << output;
  // One file: the count is told in the singular.
  ASSERT_TRUE(writeFileBytes(joinPath(destination, "last.txt"), "last"));
  expectStop({destination, empty}, emptySourceLine(1));
}

TEST_F(DeletionGuard, TheRunsOwnLogIsNoFileToDelete) {
  // The log in the destination is never deleted, so it is not counted.
  std::string log = joinPath(destination, "run.log");
  expectStop({destination, empty, "--log", log}, emptySourceLine(3));
  ASSERT_EQ(0, run({destination, empty, "--log", log, "--allow-empty-source"})) << output;
  ASSERT_EQ(0, run({destination, empty, "--log", log})) << output;
  EXPECT_EQ(std::vector<std::string>{"run.log"}, listFiles(destination));
}

TEST_F(DeletionGuard, MoreDeletionsThanTheCapStopTheRun) {
  const std::string line =
      "The run would delete 3 files, more than --max-delete=2 allows: "
      "nothing was changed !";
  expectStop({destination, source, "--max-delete=2"}, line);
  expectStop({destination, source, "-p", "--max-delete", "2"}, line);
  expectStop({destination, source, "--max-delete=0"},
             "The run would delete 3 files, more than --max-delete=0 allows: nothing was "
             "changed !");
  ASSERT_TRUE(deleteFile(joinPath(destination, "stale.txt").c_str()) == 0);
  ASSERT_TRUE(deleteFile(joinPath(joinPath(destination, "old"), "a.txt").c_str()) == 0);
  expectStop({destination, source, "--max-delete=0"},
             "The run would delete 1 file, more than --max-delete=0 allows: nothing was changed !");
  // Up to the cap, the run goes on and does all of it.
  ASSERT_EQ(0, run({destination, source, "--max-delete", "1"})) << output;
  EXPECT_EQ(snapshot(source), snapshot(destination));
}

TEST_F(DeletionGuard, ACapOfNoneLetsUpdatesAndCopiesThrough) {
  ASSERT_EQ(0, run({destination, source, "--allow-empty-source"})) << output;
  // A newer source file and a new one: no deletion, so no stop.
  ASSERT_TRUE(writeFileBytes(joinPath(source, "added.txt"), "added"));
  ASSERT_TRUE(writeFileBytes(joinPath(source, "new.txt"), "newer"));
  ASSERT_EQ(0, run({destination, source, "--max-delete=0", "-v"})) << output;
  EXPECT_EQ(snapshot(source), snapshot(destination));
  // Twins that differ only in their time or size are no deletions either.
  EXPECT_FALSE(printed("We need to delete " + destination + separator + "new.txt")) << output;
}

TEST_F(DeletionGuard, AnIncompleteSourceDeletesNothingSoNothingIsCounted) {
  // A source entry too long to name: the listing is incomplete, deletions are left
  // out, and neither the guard nor the cap has anything to count.
  if (!makeEntryIn(source, "probe", false)) GTEST_SKIP() << "cannot make such entries here";
  ASSERT_TRUE(removeEntryIn(source, "probe"));
  std::string deep = empty;
  const int levels = 16;
  int each = (pathBufferSize - 150 - static_cast<int>(empty.size())) / levels - 1;
  for (int i = 0; i < levels; ++i) deep = joinPath(deep, std::string(each, 'a' + i));
  ASSERT_TRUE(makeFolders(deep));
  std::string tooLong(250, 'z');
  ASSERT_TRUE(makeEntryIn(deep, tooLong, false));
  std::map<std::string, std::string> destinationBefore = snapshot(destination);
  int status = run({destination, empty, "--max-delete=0"});
  EXPECT_TRUE(removeEntryIn(deep, tooLong));
  EXPECT_EQ(1, status) << output;
  EXPECT_TRUE(printed("No file was deleted: the source folder could not be listed completely !"))
      << output;
  EXPECT_EQ(destinationBefore, snapshot(destination));
}
}  // namespace
