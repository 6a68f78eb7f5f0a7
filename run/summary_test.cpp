// The summary line: its wording, and where it goes (standard output only with --stats).
#include "run/summary.h"

#include <gtest/gtest.h>

#include "base/settings.h"
#include "run/end_to_end_fixture.h"
#include "run/run_fixture.h"

namespace {
std::string summaryOf(const PassSummary& counts, int kind, int64_t elapsedMs) {
  char line[512];
  formatSummary(line, sizeof line, counts, kind, elapsedMs, 0);
  return line;
}

TEST(Summary, TellsEachCountTheBytesAndTheTime) {
  PassSummary counts = {12345, 3, 5, 2, 1, 4718592};
  EXPECT_EQ(
      "Done: 12,345 copied, 3 updated (4.5 MiB), 5 deleted, 2 newer in the destination "
      "kept, 1 failed, in 1.2 s",
      summaryOf(counts, summaryDone, 1234));
  EXPECT_EQ(
      "Preview: 12,345 to copy, 3 to update (4.5 MiB), 5 to delete, 2 newer in the "
      "destination kept, 1 failed, in 0.0 s",
      summaryOf(counts, summaryPreview, 0));
  PassSummary none = {};
  EXPECT_EQ(
      "Stopped: 0 copied, 0 updated (0 B), 0 deleted, 0 newer in the destination kept, "
      "0 failed, in 1:05",
      summaryOf(none, summaryStopped, 65432));
  EXPECT_NE(std::string::npos, summaryOf(none, summaryDone, 3723000).find(", in 1:02:03"));
}

TEST(Summary, TellsWhatTheFiltersLeftOutOnlyWhereSomeWereGiven) {
  PassSummary counts = {1, 0, 0, 0, 0, 10};
  counts.filtered = 1;
  counts.foldersLeftOut = 1;
  counts.filesLeftOut = 2345;
  EXPECT_EQ(
      "Done: 1 copied, 0 updated (10 B), 0 deleted, 0 newer in the destination kept, 1 "
      "folder and 2,345 files left out, 0 failed, in 0.5 s",
      summaryOf(counts, summaryDone, 500));
  counts.foldersLeftOut = 0;
  counts.filesLeftOut = 1;
  EXPECT_NE(std::string::npos,
            summaryOf(counts, summaryPreview, 0).find(", 0 folders and 1 file left out, "));
}

TEST(Summary, TellsVanishedFilesOnlyWhereThereAreSomeAndEveryMove) {
  PassSummary counts = {3, 1, 0, 0, 1, 10};
  counts.vanished = 1234;
  EXPECT_EQ(
      "Done: 3 copied, 1 updated (10 B), 0 deleted, 0 newer in the destination kept, 1 "
      "failed, 1,234 vanished, in 0.5 s",
      summaryOf(counts, summaryDone, 500));
  // With a backup folder the deleted and the replaced files moved there are one count.
  counts.vanished = 0;
  counts.moved = 4;
  char line[512];
  formatSummary(line, sizeof line, counts, summaryDone, 500, 1);
  EXPECT_EQ(
      std::string("Done: 3 copied, 1 updated (10 B), 4 moved to the backup folder, 0 newer in "
                  "the destination kept, 1 failed, in 0.5 s"),
      line);
}

TEST(Summary, ItsKindFollowsTheStatusAndThePreview) {
  EXPECT_EQ(summaryDone, summaryKindOf(exitSuccess, 0));
  EXPECT_EQ(summaryDone, summaryKindOf(exitSomeFailed, 0));
  EXPECT_EQ(summaryStopped, summaryKindOf(exitStopped, 0));
  EXPECT_EQ(summaryStopped, summaryKindOf(exitOutOfMemory, 0));
  EXPECT_EQ(summaryStopped, summaryKindOf(interruptedExitStatus, 0));
  EXPECT_EQ(summaryPreview, summaryKindOf(exitSuccess, 1));
  EXPECT_EQ(summaryStopped, summaryKindOf(exitStopped, 1));
}

class SummaryOutput : public RunTest {
 protected:
  // Puts the destination back as the fixture made it.
  void resetDestination() {
    ASSERT_TRUE(removeFolderTree(destination));
    ASSERT_TRUE(writeFileBytes(joinPath(destination, "stale.txt"), "only in the destination"));
  }
};

TEST_F(SummaryOutput, StatsAddOneLineAtTheEndOfStandardOutput) {
  ASSERT_EQ(0, run({destination, source, "-v", "--stats"})) << output;
  std::string withStats = output;
  std::vector<std::string> printedLines = lines();
  ASSERT_FALSE(printedLines.empty());
  EXPECT_EQ(0u, printedLines.back().find("Done: 2 copied, 0 updated (9 B), 1 deleted, 0 newer in "
                                         "the destination kept, 0 failed, in "))
      << output;
  // Without --stats standard output holds the same bytes but that line, whether or
  // not a terminal would show the summary.
  resetDestination();
  ASSERT_EQ(0, run({destination, source, "-v"})) << output;
  EXPECT_EQ(std::string::npos, output.find("Done: ")) << output;
  size_t lastLine = withStats.rfind('\n', withStats.size() - 2);
  ASSERT_NE(std::string::npos, lastLine);
  // The two listing threads may tell their start in either order.
  EXPECT_EQ(withListingLinesSorted(withStats.substr(0, lastLine + 1)),
            withListingLinesSorted(output));
}

TEST_F(SummaryOutput, StatsTellAPreviewAndAStoppedRun) {
  ASSERT_EQ(0, run({destination, source, "-p", "--stats"})) << output;
  EXPECT_EQ(0u, lines().back().find("Preview: 2 to copy, 0 to update (9 B), 1 to delete, 0 newer "
                                    "in the destination kept, 0 failed, in "))
      << output;
  ASSERT_EQ(2, run({destination, source, "--max-delete=0", "--stats"})) << output;
  EXPECT_EQ(0u, lines().back().find("Stopped: 0 copied, 0 updated (0 B), 0 deleted, ")) << output;
  EXPECT_EQ(0u, lines()[lines().size() - 2].find("The run would delete 1 file, more than"));
  // A refused argument stops before any run: no summary.
  ASSERT_EQ(2, run({destination, source, "--stats", "-x"})) << output;
  EXPECT_EQ(3u, lines().size()) << output;
}
}  // namespace
