// The progress line's text: counts, sizes, rate and time left, and its width.
#include "base/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {
class ProgressTextTest : public ::testing::Test {
 protected:
  ProgressState progress;
  void SetUp() override {
    for (auto& count : progress.listed) count.store(0);
    progress.copying.store(0);
    progress.filesDone.store(0);
    progress.bytesDone.store(0);
    for (auto& writer : progress.writing) writer.store(0);
    progress.copyStartMs.store(1000);
  }
  void TearDown() override { progress.copying.store(0); }
  std::string text(int width, int64_t nowMs) {
    char line[256];
    formatProgress(progress, line, sizeof line, width, nowMs);
    return line;
  }
  void copying(int64_t filesTotal, int64_t bytesTotal) {
    progress.filesTotal.store(filesTotal);
    progress.bytesTotal.store(bytesTotal);
    progress.copying.store(1);
  }
};

TEST_F(ProgressTextTest, ListingCountsEachTreeWithThousandsSeparators) {
  EXPECT_EQ("Listing: 0 files in the destination, 0 in the source", text(200, 0));
  progress.listed[progressDestination].store(999);
  progress.listed[progressSource].store(1234567);
  EXPECT_EQ("Listing: 999 files in the destination, 1,234,567 in the source", text(200, 0));
  progress.listed[progressDestination].store(1000);
  EXPECT_EQ("Listing: 1,000 files in the destination, 1,234,567 in the source", text(200, 0));
}

TEST_F(ProgressTextTest, CopyingTellsDoneOfTotalRateAndTimeLeft) {
  copying(3001, 100LL << 20);
  // No rate before the copying has run for a moment.
  EXPECT_EQ("Copying: 0 of 3,001 files, 0 B of 100.0 MiB, -- B/s", text(200, 1100));
  progress.filesDone.store(1500);
  progress.bytesDone.store(40LL << 20);
  // Two copies under way: their bytes so far count too.
  progress.writing[0].store(4LL << 20);
  progress.writing[3].store(6LL << 20);
  // 50 MiB in 2 s: 25 MiB/s, and 50 MiB left take 2 s.
  EXPECT_EQ("Copying: 1,500 of 3,001 files, 50.0 MiB of 100.0 MiB, 25.0 MiB/s, 0:02 left",
            text(200, 3000));
  progress.bytesDone.store(0);
  progress.writing[0].store(1LL << 20);
  progress.writing[3].store(0);
  // 1 MiB in 100 s: the rest takes 9,900 s, 165 minutes.
  EXPECT_EQ("Copying: 1,500 of 3,001 files, 1.0 MiB of 100.0 MiB, 10.2 KiB/s, 165:00 left",
            text(200, 101000));
}

TEST_F(ProgressTextTest, NeverMoreThanTheTotal) {
  // A source that grew while it was copied, or a file counted done before its
  // bytes were reset, does not make the line say more than the listing decided.
  copying(2, 1000);
  progress.filesDone.store(3);
  progress.bytesDone.store(900);
  progress.writing[1].store(500);
  EXPECT_EQ("Copying: 2 of 2 files, 1000 B of 1000 B, 500 B/s, 0:00 left", text(200, 3000));
}

TEST_F(ProgressTextTest, CutToOneColumnLessThanTheTerminal) {
  // A line as wide as the terminal would wrap, and only its last row be erased.
  progress.listed[progressSource].store(5);
  EXPECT_EQ("Listing: 0 files in the", text(24, 0));
  EXPECT_EQ(23u, text(24, 0).size());
  EXPECT_EQ("Listing: 0 files in the destination, 5 in the source", text(80, 0));
}
}  // namespace
