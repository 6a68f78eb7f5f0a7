// Copies written by several workers print, fail and land exactly as copies written
// one after another: lines, order, exit status and tree.
#include <gtest/gtest.h>

#include <string>

#include "run/end_to_end_fixture.h"

namespace {
class CopyWorkers : public InProcessMirrorTest {
 protected:
  // New folders, updates, a copy that cannot be created, and enough files for many
  // small batches.
  void makeTrees() {
    for (int folder = 0; folder < 6; ++folder)
      for (int file = 0; file < 50; ++file)
        writeFile(at({"src", "d" + std::to_string(folder), "f" + std::to_string(file) + ".txt"}),
                  patternBytes(static_cast<size_t>(folder * 997 + file * 131), file), sourceUnits);
    for (int file = 0; file < 50; file += 7)
      writeFile(at({"dst", "d1", "f" + std::to_string(file) + ".txt"}), "older", olderUnits);
    writeFile(at({"src", "d2", "blocked"}), "a file", sourceUnits);
    writeFile(at({"dst", "d2", "blocked", "inside.txt"}), "in the folder", olderUnits);
    writeFile(at({"dst", "stale.txt"}), "only here", olderUnits);
  }
  struct Outcome {
    int status;
    std::string output;
    std::string errors;
    TreeState tree;
  };
  Outcome mirrorWith(const char* workers) {
    removeFolderTree(destination);
    removeFolderTree(source);
    makeTrees();
    seams.copy.syncFaultAt = 45;
    Outcome outcome;
    outcome.status = runHere({"-v", workers}, &outcome.output, &outcome.errors);
    outcome.tree = captureTree(destination);
    return outcome;
  }
};

TEST_F(CopyWorkers, ManyBatchesAndFailuresPrintAsWithOneWorker) {
  if (platformIsWindows) GTEST_SKIP() << "Windows copies are not batched";
  Outcome one = mirrorWith("--workers=1");
  EXPECT_EQ(0, workersStarted);
  // The seams were met: a copy whose sync failed, one that could not be created.
  EXPECT_EQ(1, one.status);
  EXPECT_NE(std::string::npos, one.output.find("could not be written to disk")) << one.output;
  EXPECT_NE(std::string::npos, one.output.find("Cannot create file in folder !")) << one.output;
  EXPECT_NE(std::string::npos, one.output.find("Creating folder [")) << one.output;
  Outcome four = mirrorWith("--workers=4");
  EXPECT_EQ(4, workersStarted);
  EXPECT_EQ(one.status, four.status);
  EXPECT_EQ(withListingLinesSorted(one.output), withListingLinesSorted(four.output));
  EXPECT_EQ(one.errors, four.errors);
  EXPECT_TRUE(one.tree == four.tree) << treeDifference(one.tree, four.tree);
}

TEST_F(CopyWorkers, AnInterruptedRunLeavesOnlyWholeCopies) {
  if (platformIsWindows) GTEST_SKIP() << "Windows copies are not batched";
  makeTrees();
  static int copiesSeen;
  copiesSeen = 0;
  seams.copy.blockDone = [](void*, long long) {
    if (++copiesSeen == 120) setInterruptRequested(1);
  };
  std::string output;
  EXPECT_EQ(130, runHere({"--workers=4"}, &output)) << output;
  seams.copy.blockDone = nullptr;
  setInterruptRequested(0);
  // Every copy there is whole and current, or an older file left as it was; nothing
  // partial stays, and the stale file was not deleted.
  TreeState wanted = captureTree(source);
  TreeState copied = captureTree(destination);
  EXPECT_EQ(1u, copied.count("stale.txt"));
  for (const auto& entry : copied) {
    if (entry.first == "stale.txt" || entry.first.find("blocked") != std::string::npos) continue;
    auto twin = wanted.find(entry.first);
    ASSERT_TRUE(twin != wanted.end()) << "left behind: " << entry.first;
    if (entry.second.bytes != "older") {
      EXPECT_TRUE(twin->second == entry.second) << entry.first;
    }
  }
  EXPECT_EQ(1, runHere({}, &output)) << output;
  copied = captureTree(destination);
  for (const auto& entry : wanted) {
    if (entry.first.find("blocked") != std::string::npos) continue;
    EXPECT_TRUE(copied.count(entry.first) && copied[entry.first] == entry.second) << entry.first;
  }
}
}  // namespace
