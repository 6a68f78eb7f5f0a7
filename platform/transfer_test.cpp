// The transfer operations against their contract: the read-ahead window hands its
// files to the copy's open, stays within its bounds, and never fails a copy; the
// data of a sparse source is found stretch by stretch.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/test_support.h"

namespace {
class ReadAhead : public testing::Test {
 protected:
  void SetUp() override {
    root = makeScratchFolder();
    ASSERT_FALSE(root.empty());
  }
  void TearDown() override {
    endReadAhead();
    removeScratchFolder(root);
  }
  // Makes count files f0, f1... and gives the path of file number.
  std::string file(int number) const { return joinPath(root, "f" + std::to_string(number)); }
  void makeFiles(int count) {
    for (int number = 0; number < count; ++number)
      ASSERT_TRUE(writeFileBytes(file(number), "bytes of " + std::to_string(number)));
  }
  // Asks for files from..to-1 with a size each; the results in a string, one
  // digit a file.
  std::string askFor(int from, int to, uint64_t size = 10) const {
    std::string results;
    for (int number = from; number < to; ++number)
      results += static_cast<char>('0' + readAheadFile(file(number).c_str(), size));
    return results;
  }
  // The bytes that openFileForReading gives for file number.
  std::string readThroughOpen(int number) const {
    FILE* stream = openFileForReading(file(number).c_str());
    if (!stream) return "<not opened>";
    char bytes[64];
    size_t got = fread(bytes, 1, sizeof bytes, stream);
    fclose(stream);
    return std::string(bytes, got);
  }
  std::string root;
};

TEST_F(ReadAhead, HeldFileIsTheOneTheCopyReads) {
  makeFiles(2);
  int result = readAheadFile(file(0).c_str(), 10);
  if (platformIsWindows) {
    EXPECT_EQ(readAheadUnavailable, result);
    EXPECT_EQ("bytes of 0", readThroughOpen(0));
    return;
  }
  ASSERT_EQ(readAheadStarted, result);
  // Rewritten in place after the hint: the copy reads what the file holds now.
  ASSERT_TRUE(writeFileBytes(file(0), "rewritten"));
  EXPECT_EQ("rewritten", readThroughOpen(0));
  // Taken once: a second open is an open of its own.
  EXPECT_EQ("rewritten", readThroughOpen(0));
  EXPECT_EQ("bytes of 1", readThroughOpen(1));
}

TEST_F(ReadAhead, WindowIsBoundedInFilesAndBytes) {
  if (platformIsWindows) GTEST_SKIP() << "Windows takes no read-ahead hint";
  makeFiles(40);
  EXPECT_EQ(std::string(32, '0') + "1", askFor(0, 33));
  // Taking file 2 closes files 0 and 1, which the pass went past: three places.
  EXPECT_EQ("bytes of 2", readThroughOpen(2));
  EXPECT_EQ("0001", askFor(33, 37));
  endReadAhead();
  EXPECT_EQ("bytes of 0", readThroughOpen(0));
  // 8 MiB at most of each file, 32 MiB in all; one file always fits an empty window.
  EXPECT_EQ("00001", askFor(0, 5, 1ull << 30));
  endReadAhead();
  EXPECT_EQ("000001", askFor(0, 6, 6u << 20));
}

TEST_F(ReadAhead, FilesThatCannotBeOpenedArePassedOver) {
  if (platformIsWindows) GTEST_SKIP() << "Windows takes no read-ahead hint";
  makeFiles(1);
  EXPECT_EQ(readAheadFailed, readAheadFile(joinPath(root, "missing").c_str(), 10));
  EXPECT_EQ(readAheadStarted, readAheadFile(file(0).c_str(), 10));
  // Gone after the hint: the held file is still the one that was listed.
  ASSERT_EQ(0, deleteFile(file(0).c_str()));
  EXPECT_EQ("bytes of 0", readThroughOpen(0));
  EXPECT_EQ("<not opened>", readThroughOpen(0));
}

using SourceData = ReadAhead;

// A file without holes is told at once; a sparse one gives a stretch that holds its
// data, the stream at its start, and then its end at its size.
TEST_F(SourceData, StretchesHoldTheDataAndTheEndIsTheSize) {
  long long start = -1, end = -1;
  ASSERT_TRUE(writeFileBytes(file(0), std::string(100000, 'p')));
  FILE* stream = openFileForReading(file(0).c_str());
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(sourceHolesUnknown, findSourceData(stream, 0, &start, &end));
  fclose(stream);
  const long long size = 8 << 20, dataAt = 3 << 20;
  ASSERT_TRUE(writeSparseFile(file(1), size, {{dataAt, "data"}}));
  stream = openFileForReading(file(1).c_str());
  ASSERT_NE(nullptr, stream);
  int found = findSourceData(stream, 0, &start, &end);
  if (found == sourceHolesUnknown) {
    fclose(stream);
    GTEST_SKIP() << "the test folder's file system does not tell holes from data";
  }
  ASSERT_EQ(sourceDataFound, found);
  EXPECT_LE(start, dataAt);
  EXPECT_GE(end, dataAt + 4);
  EXPECT_LT(end - start, size / 2) << "the hole before or after the data was taken for data";
  char bytes[4];
  EXPECT_EQ(1u, fread(bytes, 1, 1, stream));
  EXPECT_EQ(start == dataAt ? 'd' : '\0', bytes[0]) << "the stream is not where the data begins";
  EXPECT_EQ(sourceDataEnded, findSourceData(stream, end, &start, &end));
  EXPECT_EQ(size, start);
  fclose(stream);
}
}  // namespace
