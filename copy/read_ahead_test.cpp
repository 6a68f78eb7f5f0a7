// The read-ahead window: sources opened ahead of their copies within its bounds, each
// handed once to its copy, and its share of the files the process may open.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "copy/copy_test_fixture.h"
#include "copy/engine.h"

namespace {
class ReadAhead : public CopyFileFixture {
 protected:
  void SetUp() override {
    CopyFileFixture::SetUp();
    ASSERT_EQ(folderDone, holdFolder(&held, scratch.c_str()));
    ASSERT_EQ(0, openTreeFolders(&sources, &held));
  }
  void TearDown() override {
    closeReadAhead(&worker.ahead);
    if (worker.sourceReady) closeFile(worker.readySource.handle);
    closeTreeFolders(&sources);
    releaseHeldFolder(&held);
    CopyFileFixture::TearDown();
  }
  // Sources named s0, s1, ... of the given sizes, each holding its own bytes, and a
  // job for each.
  void makeSources(const std::vector<size_t>& sizes) {
    jobs = std::vector<CopyJob>(sizes.size());
    paths.clear();
    for (size_t i = 0; i < sizes.size(); ++i) {
      paths.push_back(at({("s" + std::to_string(i)).c_str()}));
      ASSERT_TRUE(writeFileBytes(paths[i], patternBytes(sizes[i] + i).substr(i)));
      jobs[i].sourcePath = &paths[i][0];
      jobs[i].listedSize = static_cast<int64_t>(sizes[i]);
    }
  }
  // The results of asking for each job in turn, as digits.
  std::string askFor(size_t from, size_t count) {
    std::string results;
    for (size_t i = from; i < from + count; ++i)
      results += static_cast<char>('0' + readAheadSource(&worker.ahead, &sources, &jobs[i]));
    return results;
  }
  // Takes the source held for job i and reads it whole.
  std::string takeAndRead(size_t i) {
    takeReadAhead(&worker, &jobs[i]);
    if (!worker.sourceReady) return "(none held)";
    worker.sourceReady = 0;
    std::string bytes;
    char buffer[4096];
    long long got;
    while ((got = readFromFile(worker.readySource.handle, buffer, sizeof buffer)) > 0)
      bytes.append(buffer, static_cast<size_t>(got));
    closeFile(worker.readySource.handle);
    return bytes;
  }
  HeldFolder held = {};
  TreeFolders sources = {};
  CopyWorker worker = {};
  std::vector<CopyJob> jobs;
  std::vector<std::string> paths;
};

TEST_F(ReadAhead, HoldsSourcesWithinItsCountAndBytesAndHandsEachToItsCopy) {
  if (platformIsWindows) GTEST_SKIP() << "Windows takes no read-ahead hint";
  makeSources({1000, 1000, 1000, 1000, 50000, 10});
  ASSERT_EQ(0, openReadAhead(&worker.ahead, 3, 20000));
  // Three held, the fourth waits for room.
  EXPECT_EQ("0001", askFor(0, 4));
  EXPECT_EQ(3, worker.ahead.count);
  EXPECT_EQ(patternBytes(1000).substr(0), takeAndRead(0));
  EXPECT_EQ("0", askFor(3, 1));
  // A source past the bytes left waits while others are held...
  EXPECT_EQ("1", askFor(4, 1));
  // ...and taking a later one closes those before it, which its run passed over.
  EXPECT_EQ(patternBytes(1003).substr(3), takeAndRead(3));
  EXPECT_EQ(0, worker.ahead.count);
  // Alone, it is held whatever its size; its copy reads it whole.
  EXPECT_EQ("0", askFor(4, 1));
  EXPECT_EQ(patternBytes(50004).substr(4), takeAndRead(4));
  // One that is not held leaves the copy to open it.
  EXPECT_EQ("(none held)", takeAndRead(5));
}

TEST_F(ReadAhead, ASourceThatCannotBeOpenedIsLeftToItsCopy) {
  if (platformIsWindows) GTEST_SKIP() << "Windows takes no read-ahead hint";
  makeSources({10, 10});
  ASSERT_EQ(0, deleteFile(paths[0].c_str()));
  ASSERT_EQ(0, openReadAhead(&worker.ahead, 4, 1 << 20));
  EXPECT_EQ("20", askFor(0, 2));
  EXPECT_EQ(1, worker.ahead.count);
  EXPECT_EQ("(none held)", takeAndRead(0));
  EXPECT_EQ(patternBytes(11).substr(1), takeAndRead(1));
}

TEST_F(ReadAhead, ASourceRemovedOrReplacedAfterItsOpenIsLeftToItsCopy) {
  if (platformIsWindows) GTEST_SKIP() << "Windows takes no read-ahead hint";
  makeSources({10, 10, 10, 10});
  ASSERT_EQ(0, openReadAhead(&worker.ahead, 4, 1 << 20));
  EXPECT_EQ("0000", askFor(0, 4));
  // Deleted while held: its copy must find it gone, not copy what was deleted.
  ASSERT_EQ(0, deleteFile(paths[1].c_str()));
  // Replaced by another file under its name: its copy reads the new one.
  std::string replacement = at({"new"});
  ASSERT_TRUE(writeFileBytes(replacement, "written after the open"));
  ASSERT_EQ(0, rename(replacement.c_str(), paths[2].c_str()));
  EXPECT_EQ(patternBytes(10), takeAndRead(0));
  EXPECT_EQ("(none held)", takeAndRead(1));
  EXPECT_EQ("(none held)", takeAndRead(2));
  EXPECT_EQ(patternBytes(13).substr(3), takeAndRead(3));
  EXPECT_EQ(0, worker.ahead.count);
}

TEST_F(ReadAhead, AWindowOfNoFilesHoldsNothing) {
  makeSources({10});
  ASSERT_EQ(0, openReadAhead(&worker.ahead, 0, 1 << 20));
  EXPECT_EQ("3", askFor(0, 1));
  EXPECT_EQ("(none held)", takeAndRead(0));
}

TEST(CopyRoomSize, TheWindowIsAShareOfTheFilesEachWorkerMayHold) {
  for (int freeFiles : {64, 128, 200, 1024, 65536}) {
    for (int wanted : {0, 2, 4}) {
      CopyRoomSize size;
      sizeCopyRoom(wanted, freeFiles, &size);
      if (size.workers == 0) {
        EXPECT_EQ(0, size.ahead) << freeFiles;
        continue;
      }
      EXPECT_GT(size.ahead, 0) << freeFiles << " " << wanted;
      EXPECT_LE(size.ahead, 32);
      EXPECT_LE(size.ahead, size.held);
      // The copies held, the window and the worker's own files fit its share.
      EXPECT_LE(size.workers * (size.held + size.ahead + 6) + 16, freeFiles)
          << freeFiles << " " << wanted;
    }
  }
}
}  // namespace
