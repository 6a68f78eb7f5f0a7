// Last-write times a file time cannot hold, on a tmpfs, which keeps 64-bit times:
// past year 30828 a time is the latest a file time holds, never one before 1601, so
// no newer destination file is overwritten and no newer source is passed over; a
// copy whose source time is out of reach is told as a time not set, and the next
// run finds nothing to do.
#include <gtest/gtest.h>

#include <string>

#include "run/end_to_end_fixture.h"

#if defined(TALVEN_POSIX)
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/file_time-posix.h"

namespace {
// Seconds since 1970: years 2020, 33658, 39996 and 1495, and one far past any
// 100-ns count (year 318857).
constexpr int64_t year2020 = 1600000000LL;
constexpr int64_t year33658 = 1000000000000LL;
constexpr int64_t year39996 = 1200000000000LL;
constexpr int64_t year1495 = -15000000000LL;
constexpr int64_t farBeyond = 10000000000000LL;

bool setSeconds(const std::string& path, int64_t seconds) {
  struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

int64_t secondsOf(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtim.tv_sec) : -1;
}

TEST(FileTimeConversion, TimesACountCannotHoldKeepTheirOrder) {
  const int64_t seconds[] = {INT64_MIN / 2, year1495,  -epochDifference, 0, year2020, year33658,
                             year39996,     farBeyond, INT64_MAX / 2};
  int64_t before = -1;
  for (int64_t second : seconds) {
    struct timespec time = {static_cast<time_t>(second), 999999999};
    int64_t units = fileTimeValue(toFileTime(time));
    EXPECT_LE(before, units) << second;
    EXPECT_GE(units, 0) << second;
    before = units;
  }
  EXPECT_EQ(0, fileTimeValue(toFileTime({static_cast<time_t>(year1495), 0})));
  EXPECT_EQ(latestFileTime, fileTimeValue(toFileTime({static_cast<time_t>(year33658), 0})));
  // The last time a count holds, and the one 100 ns after it.
  int64_t lastSecond = latestFileTime / unitsPerSecond - epochDifference;
  long lastFraction = static_cast<long>(latestFileTime % unitsPerSecond) * 100;
  EXPECT_EQ(latestFileTime,
            fileTimeValue(toFileTime({static_cast<time_t>(lastSecond), lastFraction})));
  EXPECT_EQ(latestFileTime - 1,
            fileTimeValue(toFileTime({static_cast<time_t>(lastSecond), lastFraction - 100})));
  // Times inside the range go there and back exactly.
  struct timespec time2020 = {static_cast<time_t>(year2020), 123456700};
  struct timespec back = toTimespec(toFileTime(time2020));
  EXPECT_EQ(time2020.tv_sec, back.tv_sec);
  EXPECT_EQ(time2020.tv_nsec, back.tv_nsec);
}

class FarTimes : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (!runningPrivileged()) GTEST_SKIP() << "mounting a tmpfs needs a privileged run";
    std::string place = at({"tmpfs"});
    ASSERT_TRUE(makeFolders(place));
    if (!mountSmallFileSystem(place, 1024)) GTEST_SKIP() << "cannot mount a tmpfs here";
    mounted.push_back(place);
    destination = joinPath(place, "dst");
    source = joinPath(place, "src");
    ASSERT_TRUE(makeFolders(destination));
    ASSERT_TRUE(makeFolders(source));
  }
  // Writes a file of both trees with the times given in seconds since 1970.
  void twins(const std::string& name, int64_t destinationSeconds, int64_t sourceSeconds) {
    std::string inDestination = joinPath(destination, name);
    std::string inSource = joinPath(source, name);
    ASSERT_TRUE(writeFileBytes(inDestination, "destination " + name));
    ASSERT_TRUE(writeFileBytes(inSource, "source " + name));
    ASSERT_TRUE(setSeconds(inDestination, destinationSeconds));
    ASSERT_TRUE(setSeconds(inSource, sourceSeconds));
  }
  std::string content(const std::string& path) {
    std::string bytes;
    return readFileBytes(path, &bytes) ? bytes : "<unreadable>";
  }
  int mirror(std::string* output, std::string* errors) {
    return runProgramWithErrors({destination, source, "-v"}, scratch, at({"errors.txt"}), output,
                                errors);
  }
  std::string destination;
  std::string source;
};

TEST_F(FarTimes, ANewerDestinationPast30828IsKeptAndANewerSourceIsCopied) {
  twins("kept.txt", year39996, year2020);
  twins("updated.txt", year2020, year33658);
  twins("both-far.txt", farBeyond, year39996);
  std::string output, errors;
  EXPECT_EQ(1, mirror(&output, &errors)) << output << errors;
  EXPECT_EQ("destination kept.txt", content(joinPath(destination, "kept.txt")));
  EXPECT_EQ(year39996, secondsOf(joinPath(destination, "kept.txt")));
  EXPECT_EQ("destination both-far.txt", content(joinPath(destination, "both-far.txt")));
  // Copied, and given the latest time a file time holds, which is not its source's:
  // told so, never as set.
  std::string updated = joinPath(destination, "updated.txt");
  EXPECT_EQ("source updated.txt", content(updated));
  EXPECT_EQ(latestFileTime / unitsPerSecond - epochDifference, secondsOf(updated));
  EXPECT_EQ(std::string::npos, output.find("Filetime set successfully")) << output;
  EXPECT_NE(std::string::npos, output.find("Failed to set the filetime !\n")) << output;
  EXPECT_NE(std::string::npos, errors.find("Could not set the time of [" + updated + "]: "))
      << errors;
  EXPECT_EQ(std::string::npos, output.find("kept.txt")) << output;
  // The copy's time is as late as its source's reads: nothing more to do.
  EXPECT_EQ(0, mirror(&output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}

TEST_F(FarTimes, ASourceTimeBefore1601IsToldAsNotSet) {
  std::string old = joinPath(source, "old.txt");
  ASSERT_TRUE(writeFileBytes(old, "old"));
  ASSERT_TRUE(setSeconds(old, year1495));
  std::string output, errors;
  EXPECT_EQ(1, mirror(&output, &errors)) << output << errors;
  std::string copy = joinPath(destination, "old.txt");
  EXPECT_EQ("old", content(copy));
  EXPECT_EQ(-epochDifference, secondsOf(copy));
  EXPECT_EQ(std::string::npos, output.find("Filetime set successfully")) << output;
  EXPECT_NE(std::string::npos, output.find("Failed to set the filetime !\n")) << output;
  EXPECT_NE(std::string::npos, errors.find("Could not set the time of [" + copy + "]: ")) << errors;
  EXPECT_EQ(0, mirror(&output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}
}  // namespace
#endif

namespace {
// A count with its top bit set, as Windows may give for a far time (Wine for a host
// file past 30828), orders after every time before it.
TEST(FileTimeOrder, ACountWithItsTopBitSetIsTheLatestTime) {
  FileTime far = {0x12345678u, 0x9ABCDEF0u};
  FileTime late = {0xFFFFFFFFu, 0x7FFFFFFFu};
  FileTime now = {0x2A2B2C2Du, 0x01D6F000u};
  EXPECT_EQ(INT64_MAX, fileTimeValue(far));
  EXPECT_EQ(INT64_MAX, fileTimeValue(late));
  EXPECT_GT(fileTimeValue(far), fileTimeValue(now));
}
}  // namespace
