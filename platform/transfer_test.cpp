// The files a copy reads, against their contract: a source is opened once without
// ever blocking, only while it is a regular file, and looked at once; the data of a
// sparse source is found stretch by stretch.
#include <gtest/gtest.h>

#include <string>

#include "platform/copy_files.h"
#include "platform/test_support.h"

namespace {
class SourceFiles : public testing::Test {
 protected:
  void SetUp() override {
    root = makeScratchFolder();
    ASSERT_FALSE(root.empty());
  }
  void TearDown() override { removeScratchFolder(root); }
  std::string file(const char* name) const { return joinPath(root, name); }
  std::string root;
};

TEST_F(SourceFiles, OneOpenTellsSizeHolesAndVolume) {
  ASSERT_TRUE(writeFileBytes(file("plain"), std::string(100000, 'p')));
  SourceFile source;
  int failure = 0;
  ASSERT_EQ(sourceOpened, openSourceFile(file("plain").c_str(), &source, &failure));
  EXPECT_EQ(100000, source.size);
  EXPECT_EQ(0, source.mayHaveHoles) << "a file whose blocks cover its size holds no hole";
  char bytes[8];
  EXPECT_EQ(8, readFromFile(source.handle, bytes, sizeof bytes));
  EXPECT_EQ('p', bytes[7]);
  FileIdentity identity;
  ASSERT_EQ(0, fileIdentity(file("plain").c_str(), &identity));
  EXPECT_EQ(identity.volume, source.volume);
  EXPECT_EQ(0, closeFile(source.handle));
  // Gone since it was listed: the system's reason, nothing opened.
  EXPECT_EQ(sourceUnreadable, openSourceFile(file("gone").c_str(), &source, &failure));
  EXPECT_NE(0, failure);
}

// A pipe put where the listing saw a file would hold the run for ever were it opened
// as a file is: it is refused at once, and so is a folder.
TEST_F(SourceFiles, WhatIsNoRegularFileIsRefusedAtOnce) {
  SourceFile source;
  int failure = 0;
  ASSERT_TRUE(makeFolders(file("folder")));
  EXPECT_NE(sourceOpened, openSourceFile(file("folder").c_str(), &source, &failure));
  if (!makeFifo(file("pipe"))) GTEST_SKIP() << "no named pipe can be made here";
  EXPECT_EQ(sourceNotRegular, openSourceFile(file("pipe").c_str(), &source, &failure));
}

// A file without holes is told at once; a sparse one gives a stretch that holds its
// data, the position at its start, and then its end at its size.
TEST_F(SourceFiles, StretchesHoldTheDataAndTheEndIsTheSize) {
  long long start = -1, end = -1;
  const long long size = 8 << 20, dataAt = 3 << 20;
  ASSERT_TRUE(writeSparseFile(file("sparse"), size, {{dataAt, "data"}}));
  SourceFile source;
  int failure = 0;
  ASSERT_EQ(sourceOpened, openSourceFile(file("sparse").c_str(), &source, &failure));
  int found =
      source.mayHaveHoles ? findSourceData(source.handle, 0, &start, &end) : sourceHolesUnknown;
  if (found == sourceHolesUnknown) {
    closeFile(source.handle);
    GTEST_SKIP() << "the test folder's file system does not tell holes from data";
  }
  ASSERT_EQ(sourceDataFound, found);
  EXPECT_LE(start, dataAt);
  EXPECT_GE(end, dataAt + 4);
  EXPECT_LT(end - start, size / 2) << "the hole before or after the data was taken for data";
  char bytes[4];
  EXPECT_EQ(1, readFromFile(source.handle, bytes, 1));
  EXPECT_EQ(start == dataAt ? 'd' : '\0', bytes[0]) << "the position is not where the data begins";
  EXPECT_EQ(sourceDataEnded, findSourceData(source.handle, end, &start, &end));
  EXPECT_EQ(size, start);
  closeFile(source.handle);
}
}  // namespace
