// The platform operations against their contract, on whichever system builds them.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/crash_support.h"
#include "platform/test_support.h"

namespace {
struct Listed {
  std::string name;
  int isDirectory;
  uint64_t size;
};

void collect(void* context, const char* name, int isDirectory, uint64_t size, FileTime) {
  static_cast<std::vector<Listed>*>(context)->push_back(Listed{name, isDirectory, size});
}

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = makeScratchFolder();
    ASSERT_FALSE(root.empty());
  }
  void TearDown() override { removeScratchFolder(root); }

  std::vector<Listed> list(const std::string& path, int* result) {
    std::vector<Listed> entries;
    *result = enumerateDirectory(path.c_str(), collect, &entries);
    return entries;
  }

  std::string root;
};

const Listed* find(const std::vector<Listed>& entries, const std::string& name) {
  for (const Listed& entry : entries)
    if (entry.name == name) return &entry;
  return nullptr;
}

unsigned twice(void* argument) {
  return 2 * *static_cast<unsigned*>(argument);
}
}  // namespace

TEST_F(PlatformTest, EnumerationGivesFilesFoldersAndTellsMissingFromUnreadable) {
  ASSERT_TRUE(writeFileBytes(joinPath(root, "a.txt"), "12345"));
  ASSERT_TRUE(makeFolders(joinPath(root, "sub")));
  int result = -1;
  std::vector<Listed> entries = list(root, &result);
  EXPECT_EQ(enumerateListed, result);
  ASSERT_NE(nullptr, find(entries, "a.txt"));
  EXPECT_EQ(0, find(entries, "a.txt")->isDirectory);
  EXPECT_EQ(5u, find(entries, "a.txt")->size);
  ASSERT_NE(nullptr, find(entries, "sub"));
  EXPECT_EQ(1, find(entries, "sub")->isDirectory);
  // A trailing separator names the same folder.
  EXPECT_EQ(entries.size(), list(root + pathSeparator, &result).size());
  EXPECT_EQ(enumerateListed, result);

  list(joinPath(root, "sub"), &result);
  EXPECT_EQ(enumerateListed, result) << "an empty folder is listed, not missing";
  list(joinPath(root, "gone"), &result);
  EXPECT_EQ(enumerateMissing, result);
  list(joinPath(joinPath(root, "gone"), "deeper"), &result);
  EXPECT_EQ(enumerateMissing, result);
  list(joinPath(root, "a.txt"), &result);
  EXPECT_EQ(enumerateUnreadable, result) << "a file is no folder to list";
}

TEST_F(PlatformTest, FileTimesRoundTripToThe100nsUnit) {
  std::string file = joinPath(root, "f");
  ASSERT_TRUE(writeFileBytes(file, "x"));
  // 2035-12-13, with a remainder of 100-ns units that a coarser clock would lose.
  const FileTime time = {0x89ABCDEFu, 0x01E7A1B2u};
  ASSERT_EQ(0, setFileTimes(file.c_str(), time));
  FileTime back = {0, 0};
  ASSERT_EQ(0, getFileTime(file.c_str(), &back));
  EXPECT_EQ(fileTimeValue(time), fileTimeValue(back));
  FileTimes all = {};
  ASSERT_TRUE(readFileTimes(file, &all));
  EXPECT_EQ(fileTimeValue(time), all.lastWrite);
  EXPECT_EQ(fileTimeValue(time), all.lastAccess);

  EXPECT_EQ(1, setFileTimes(joinPath(root, "missing").c_str(), time));
  EXPECT_NE(0, getFileTime(joinPath(root, "missing").c_str(), &back));
}

TEST_F(PlatformTest, IdentityTellsOneFileFromAnother) {
  std::string first = joinPath(root, "First.txt");
  std::string second = joinPath(root, "second.txt");
  ASSERT_TRUE(writeFileBytes(first, "1"));
  ASSERT_TRUE(writeFileBytes(second, "2"));
  FileIdentity a = {}, again = {}, b = {};
  ASSERT_EQ(0, fileIdentity(first.c_str(), &a));
  ASSERT_EQ(0, fileIdentity(first.c_str(), &again));
  ASSERT_EQ(0, fileIdentity(second.c_str(), &b));
  EXPECT_TRUE(a.volume == again.volume && a.index == again.index);
  EXPECT_FALSE(a.volume == b.volume && a.index == b.index);
  if (platformIsWindows) {
    // Another spelling of the same name is the same file there.
    FileIdentity spelled = {};
    ASSERT_EQ(0, fileIdentity(joinPath(root, "FIRST.TXT").c_str(), &spelled));
    EXPECT_TRUE(a.volume == spelled.volume && a.index == spelled.index);
  }
  EXPECT_NE(0, fileIdentity(joinPath(root, "missing").c_str(), &b));
}

TEST_F(PlatformTest, ResolvingKeepsTheMissingRestAsWritten) {
  char resolvedRoot[pathBufferSize];
  ASSERT_EQ(0, resolveFullPath(root.c_str(), resolvedRoot, sizeof resolvedRoot));
  std::string missing = joinPath(joinPath(root, "new"), "deeper");
  char resolved[pathBufferSize];
  ASSERT_EQ(0, resolveFullPath(missing.c_str(), resolved, sizeof resolved));
  EXPECT_EQ(joinPath(joinPath(resolvedRoot, "new"), "deeper"), resolved);
  std::string dotted = joinPath(joinPath(root, "new"), "..");
  ASSERT_EQ(0, resolveFullPath(dotted.c_str(), resolved, sizeof resolved));
  EXPECT_TRUE(pathNamesEqual(resolvedRoot, resolved)) << resolved;
  char small[4];
  EXPECT_EQ(1, resolveFullPath(root.c_str(), small, sizeof small)) << "it does not fit";
}

TEST_F(PlatformTest, ResolvingFollowsALinkedFolder) {
  std::string real = joinPath(root, "real");
  ASSERT_TRUE(makeFolders(real));
  std::string link = joinPath(root, "link");
  if (!makeSymlink(real, link)) GTEST_SKIP() << "symbolic links cannot be made here";
  char viaLink[pathBufferSize], direct[pathBufferSize];
  ASSERT_EQ(0, resolveFullPath(joinPath(link, "missing").c_str(), viaLink, sizeof viaLink));
  ASSERT_EQ(0, resolveFullPath(joinPath(real, "missing").c_str(), direct, sizeof direct));
  EXPECT_STREQ(direct, viaLink);
}

TEST(PathNames, ComparisonFoldsOnlyAsciiLettersAndOnlyOnWindows) {
  EXPECT_TRUE(pathNamesEqual("dir/File.txt", "dir/File.txt"));
  EXPECT_EQ(platformIsWindows ? 1 : 0, pathNamesEqual("ABC.txt", "abc.TXT"));
  EXPECT_FALSE(pathNamesEqual("x\xC4", "x\xE4")) << "bytes of 128 and above stay apart";
  EXPECT_FALSE(pathNamesEqual("abc", "abcd"));
  EXPECT_TRUE(pathNamesEqualN("abcX", "abcY", 3));
  EXPECT_FALSE(pathNamesEqualN("abcX", "abcY", 4));
  EXPECT_EQ(platformIsWindows ? 1 : 0, pathNamesEqualN("Zeta", "zETA", 4));
  EXPECT_TRUE(isPathSeparator(pathSeparator));
  EXPECT_EQ(platformIsWindows ? 1 : 0, isPathSeparator('\\'));
  EXPECT_TRUE(isPathSeparator('/'));
}

TEST(PlatformThreads, WaitGivesTheThreadsResult) {
  unsigned argument = 21;
  PlatformThread* thread = startThread(twice, &argument);
  ASSERT_NE(nullptr, thread);
  unsigned result = 0;
  EXPECT_EQ(0, waitThread(thread, &result));
  EXPECT_EQ(42u, result);
}

namespace {
// In a child whose limit is 64 open files, all but 20 of them held open already.
int openFilesAllowed(void* wanted) {
  if (!limitOpenFiles(64) || !leaveOpenFilesFree(64, 20)) return 255;
  return allowOpenFiles(*static_cast<int*>(wanted));
}

TEST(OpenFiles, AllowedLeavesOutTheFilesHeldAlready) {
  if (platformIsWindows) GTEST_SKIP() << "the limit of open files is a POSIX matter";
  int wanted = 100;
  EXPECT_EQ(20, runBodyInChild(openFilesAllowed, &wanted, nullptr));
  wanted = 12;
  EXPECT_EQ(12, runBodyInChild(openFilesAllowed, &wanted, nullptr));
}
}  // namespace
