// Deciding "the source is newer" at the resolution of the twin's file system.
#include "reconcile/destination_clock.h"

#include <gtest/gtest.h>

namespace {
constexpr int64_t second = 10000000;
// 2021-03-04 05:06:07.1234567 UTC: an odd second with a fraction.
constexpr int64_t copied = 132593079671234567LL;

constexpr DestinationClock exact = {1, roundsDown, 0, 1};
constexpr DestinationClock fatOnLinux = {2 * second, roundsDown, 1, 1};
constexpr DestinationClock fatRoundingUp = {2 * second, roundsUp, 1, 1};
constexpr DestinationClock seconds = {second, roundsDown, 0, 1};
constexpr DestinationClock exfat = {second / 100, roundsDown, 0, 1};
constexpr DestinationClock nearestSecond = {second, roundsNearest, 0, 1};

TEST(DestinationClock, BringsTimesToItsStepsAsItsFileSystemDoes) {
  EXPECT_EQ(copied, clockTime(exact, copied));
  EXPECT_EQ(copied - 1234567 - second, clockTime(fatOnLinux, copied));
  EXPECT_EQ(copied - 1234567 + second, clockTime(fatRoundingUp, copied));
  EXPECT_EQ(copied - 1234567, clockTime(seconds, copied));
  EXPECT_EQ(copied - 34567, clockTime(exfat, copied));
  EXPECT_EQ(copied - 1234567, clockTime(nearestSecond, copied));
  EXPECT_EQ(copied - 1234567 + second, clockTime(nearestSecond, copied + 4 * second / 10));
  // A time already on a step stays; times before 1601 round the same way.
  EXPECT_EQ(copied - 1234567 - second, clockTime(fatRoundingUp, copied - 1234567 - second));
  EXPECT_EQ(-2 * second, clockTime(fatOnLinux, -1));
}

// What the issue is about: a copy keeps only what its file system holds, and the next
// run must still find it current, on every clock.
TEST(DestinationClock, CopyStampedWithItsSourceTimeIsCurrent) {
  for (const DestinationClock& clock :
       {exact, fatOnLinux, fatRoundingUp, seconds, exfat, nearestSecond}) {
    for (int64_t fraction : {int64_t{0}, int64_t{1}, second / 2, second - 1, second + 7}) {
      int64_t source = copied + fraction;
      int64_t kept = clockTime(clock, source);
      EXPECT_FALSE(sourceIsNewerOn(clock, source, kept)) << clock.step << " " << fraction;
      // A source changed one step or more after its copy is an update.
      EXPECT_TRUE(sourceIsNewerOn(clock, source + clock.step, kept)) << clock.step;
      // A destination newer than its source is kept.
      EXPECT_FALSE(sourceIsNewerOn(clock, source, kept + 10 * second)) << clock.step;
    }
  }
  // On an exact clock a change of one 100-ns unit still counts, as it always did.
  EXPECT_TRUE(sourceIsNewerOn(exact, copied + 1, copied));
}

TEST(DestinationClock, FatCopyAnHourEarlyAfterADaylightSavingSwitchIsCurrent) {
  int64_t kept = clockTime(fatOnLinux, copied);
  EXPECT_FALSE(sourceIsNewerOn(fatOnLinux, copied, kept - 3600 * second));
  // Shown an hour late, a copy is newer than its source anyway.
  EXPECT_FALSE(sourceIsNewerOn(fatOnLinux, copied, kept + 3600 * second));
  // A real change shows as more than the hour's shift, and is updated.
  EXPECT_TRUE(sourceIsNewerOn(fatOnLinux, copied + 4 * second, kept - 3600 * second));
  EXPECT_TRUE(sourceIsNewerOn(fatOnLinux, copied - 4 * second, kept - 3600 * second));
  // Only FAT keeps local time: elsewhere an hour older is older.
  EXPECT_TRUE(sourceIsNewerOn(seconds, copied, clockTime(seconds, copied) - 3600 * second));
}

TEST(DestinationClock, ProbeTellsEveryClockApart) {
  for (int64_t step : {int64_t{1}, int64_t{10}, second / 100, second, 2 * second}) {
    for (int8_t rounding : {int8_t{roundsDown}, int8_t{roundsUp}, int8_t{roundsNearest}}) {
      DestinationClock truth = {step, rounding, 0, 1};
      int64_t kept[3];
      for (int i = 0; i < 3; ++i) kept[i] = clockTime(truth, probeTimes[i]);
      DestinationClock found = {0, 0, 0, 0};
      ASSERT_EQ(0, clockFromProbe(kept, &found)) << step << " " << int(rounding);
      EXPECT_EQ(step, found.step) << int(rounding);
      // Every rounding is the same on an exact clock.
      if (step > 1) {
        EXPECT_EQ(rounding, found.rounding) << step;
      }
      for (int i = 0; i < 3; ++i) EXPECT_EQ(kept[i], clockTime(found, probeTimes[i]));
    }
  }
}

TEST(DestinationClock, ProbeOfAFileSystemThatKeepsTheTimeOfWriting) {
  // The time of writing, years after the probe's times.
  int64_t now = probeTimes[0] + 5LL * 365 * 24 * 3600 * second;
  int64_t kept[3] = {now, now, now + 1};
  DestinationClock found;
  EXPECT_EQ(1, clockFromProbe(kept, &found));
  EXPECT_EQ(0, found.keepsTimes);
  EXPECT_TRUE(sourceIsNewerOn(found, now + 1, now));
  EXPECT_FALSE(sourceIsNewerOn(found, now - 1, now));
  // Kept near the given times, but as no known clock keeps them: no verdict.
  int64_t odd[3] = {probeTimes[0] + 3, probeTimes[1] + 3, probeTimes[2] + 3};
  EXPECT_EQ(1, clockFromProbe(odd, &found));
  EXPECT_EQ(1, found.keepsTimes);
}

TEST(DestinationClock, PreviewAssumesTheCoarsestStepTheTwinsTimeFits) {
  EXPECT_EQ(2 * second, assumedClock(copied - 1234567 - second).step);
  EXPECT_EQ(second, assumedClock(copied - 1234567).step);
  // A whole 10 ms or microsecond happens by chance too often to go by.
  EXPECT_EQ(1, assumedClock(copied - 34567).step);
  EXPECT_EQ(1, assumedClock(copied - 7).step);
  EXPECT_EQ(1, assumedClock(copied).step);
  EXPECT_EQ(roundsDown, assumedClock(copied - 1234567).rounding);
}
}  // namespace
