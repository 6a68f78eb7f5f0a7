#include "collect/scan_threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "base/settings.h"
#include "collect/entry_table.h"
#include "platform/test_support.h"

namespace {
class ScanThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunSettings(&settings);
    buildPathKeyTable();
    ASSERT_EQ(0, initEntryTables());
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    source = joinPath(scratch, "src");
    ASSERT_TRUE(writeFileBytes(joinPath(source, "a"), "a"));
    ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "sub"), "b"), "bb"));
  }
  void TearDown() override {
    freeEntryTables();
    removeScratchFolder(scratch);
  }

  // Lists root on a scan thread of its own, as the run does; returns the outcome.
  int scanSource(const std::string& root) {
    strcpy(settings.sourceRoot, root.c_str());
    settings.sourceRootLength = static_cast<int32_t>(root.size());
    ScanRequest request = {settings.sourceRoot, {0, 0}, 0, &settings, nullptr, nullptr, 0};
    return waitForScan(startSourceScan(&request));
  }

  RunSettings settings;
  std::string scratch;
  std::string source;
};

TEST_F(ScanThreadsTest, AWholeTreeFillsItsOwnTable) {
  destinationTable.count = 7;  // left from nothing: only the scanned table is reset
  ASSERT_EQ(scanComplete, scanSource(source));
  ASSERT_EQ(2, sourceTable.count);
  EXPECT_EQ(7, destinationTable.count);
  destinationTable.count = 0;
  std::string separator(1, pathSeparator);
  std::vector<std::string> paths = {sourceTable.entries[0].relativePath,
                                    sourceTable.entries[1].relativePath};
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(separator + "a", paths[0]);
  EXPECT_EQ(separator + "sub" + separator + "b", paths[1]);
}

TEST_F(ScanThreadsTest, RootsThatCannotBeListedAreTold) {
  EXPECT_EQ(scanRootMissing, scanSource(joinPath(scratch, "missing")));
  EXPECT_EQ(0, sourceTable.count);
  EXPECT_EQ(scanRootUnreadable, scanSource(joinPath(source, "a")));
  EXPECT_EQ(0, sourceTable.count);
  EXPECT_EQ(scanNotStarted, waitForScan(nullptr));
}

TEST_F(ScanThreadsTest, WhatTheListingMissedMakesItIncomplete) {
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "locked"), "secret"), "s"));
  bool linked =
      makeSymlink(joinPath(joinPath(source, "locked"), "secret"), joinPath(source, "link"));
  if (!linked || !setListable(joinPath(source, "locked"), false))
    GTEST_SKIP() << "links or permissions cannot be made here";
  using Self = std::remove_pointer_t<decltype(this)>;
  // A root that was read, but with a link it could not examine in it and a folder it
  // could not read below it: incomplete, not unreadable, so the run copies what it
  // found and deletes nothing.
  int (*body)(void*) = [](void* context) -> int {
    Self* test = static_cast<Self*>(context);
    int outcome = test->scanSource(test->source);
    return outcome == scanIncomplete && sourceTable.count == 2 ? 0 : 10 + outcome;
  };
  int result = runningPrivileged() ? runUnprivileged(scratch, body, this, nullptr) : body(this);
  setListable(joinPath(source, "locked"), true);
  if (result < 0) GTEST_SKIP() << "cannot run without privileges here";
  EXPECT_EQ(0, result) << "outcome " << result - 10;
}
}  // namespace
