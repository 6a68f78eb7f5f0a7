// The copier's failures: nothing incomplete may stay behind, and none passes as done.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "copy/copy_test_fixture.h"

namespace {
using CopyFailure = CopyFileFixture;

int blocksBeforeStop;
void interruptAfterTwoBlocks(void*, long long written) {
  ++blocksBeforeStop;
  if (written >= 2LL * copyBufferSize) setInterruptRequested(1);
}

void signalAfterTwoBlocks(void*, long long written) {
  ++blocksBeforeStop;
  if (written >= 2LL * copyBufferSize) raise(SIGINT);
}

void interruptAfterTwoSteps(void*, long long) {
  if (++blocksBeforeStop == 2) setInterruptRequested(1);
}

struct ReadOnlyCopy {
  std::string destination;
  std::string source;
};

int copyIntoReadOnly(void* context) {
  ReadOnlyCopy* copy = static_cast<ReadOnlyCopy*>(context);
  testSettings().verbose = 1;
  return copyBelow(folderOf(copy->destination), copy->destination, copy->source);
}

// Copies onto a read-only destination as a user whom permissions bind; false with
// a reason in skip where no such user can be had here.
bool copyAsOrdinaryUser(const std::string& scratch, ReadOnlyCopy* copy, int* result,
                        std::string* output, std::string* skip) {
  if (runningPrivileged()) {
    // Permissions do not stop a privileged user: the copy runs as an ordinary one.
    *result = runUnprivileged(scratch, copyIntoReadOnly, copy, output);
    if (*result < 0) *skip = "cannot run the copy without privileges here";
    return *result >= 0;
  }
  // Wine run by root, for one, shows the read-only mark but does not enforce it.
  if (FILE* probe = fopen(copy->destination.c_str(), "ab")) {
    fclose(probe);
    *skip = "a read-only file can still be written here";
    return false;
  }
  testing::internal::CaptureStdout();
  *result = copyIntoReadOnly(copy);
  *output = testing::internal::GetCapturedStdout();
  return true;
}

TEST_F(CopyFailure, ReadOnlyDestinationKeepsContentAndTimes) {
  // The mark of a file that may not be written, on Windows, is what an exact mirror
  // keeps: a file so marked is replaced (platform/windows_metadata_test.cpp).
  if (platformIsWindows) GTEST_SKIP() << "Windows replaces a file marked read-only";
  // Refused before anything is written, whether the folder takes new files (the
  // scratch folder) or not (dst, from that user): the folder repair is tried first.
  struct Case {
    std::string destination;
    std::string expected;
  } cases[] = {
      {at({"file"}), "Creating folder [" + scratch + "]\nCannot create file in folder !\n"},
      {at({"dst", "file"}),
       "Creating folder [" + at({"dst"}) + "]\nCannot create file in folder !\n"},
  };
  ASSERT_TRUE(writeFileBytes(at({"src"}), "new content"));
  for (const Case& each : cases) {
    SCOPED_TRACE(each.destination);
    ReadOnlyCopy copy = {each.destination, at({"src"})};
    writeOldFile(copy.destination, "old");
    ASSERT_TRUE(setWritable(copy.destination, false));
    int result = 0;
    std::string output, skip;
    if (!copyAsOrdinaryUser(scratch, &copy, &result, &output, &skip)) GTEST_SKIP() << skip;
    EXPECT_EQ(copyCannotCreate, result);
    EXPECT_EQ(each.expected, output);
    expectKept(copy.destination, "old");
  }
  // No partial file stays behind.
  EXPECT_EQ((std::vector<std::string>{joinPath("dst", "file"), "file", "src"}), listFiles(scratch));
}

struct LockedCopy {
  std::string folder;
  std::string destination;
  std::string source;
};
LockedCopy* lockedCopy;

// Locks the folder of the copy under way once it is being written: its partial file
// can then no longer be removed.
void lockFolderOnce(void*, long long) {
  if (!lockedCopy) return;
  setWritable(lockedCopy->folder, false);
  lockedCopy = nullptr;
}

// Makes the destination, and fails its update once the folder is locked against
// removals. 100 when the folder cannot be locked.
int failInLockedFolder(void* context) {
  LockedCopy* copy = static_cast<LockedCopy*>(context);
  if (!writeFileBytes(copy->destination, "old")) return 100;
  lockedCopy = copy;
  testCopySeams().blockDone = lockFolderOnce;
  testCopySeams().writeFaultAfter = 40000;
  testCopySeams().kernelFallbackAt = 0;
  testSettings().verbose = 1;
  int result = copyBelow(folderOf(copy->destination), copy->destination, copy->source, 1);
  // A folder that still takes removals could not be locked: the test cannot tell.
  if (writeFileBytes(joinPath(copy->folder, "probe"), "") &&
      deleteFile(joinPath(copy->folder, "probe").c_str()) == 0)
    return 100;
  return result;
}

// An incomplete copy that cannot be removed must not stay with a fresh time, which
// would make every later run take it for current; the old file stays whole.
TEST_F(CopyFailure, UnremovableIncompleteCopyIsMarkedOutOfDate) {
  LockedCopy copy = {at({"locked"}), at({"locked", "file"}), at({"src"})};
  ASSERT_TRUE(writeFileBytes(copy.source, patternBytes(100000)));
  std::string output;
  int result;
  if (runningPrivileged()) {
    // The file must belong to an ordinary user, who can set its time but cannot
    // remove it from the locked folder.
    result = runUnprivileged(scratch, failInLockedFolder, &copy, &output);
    if (result < 0) GTEST_SKIP() << "cannot run the copy without privileges here";
  } else {
    testing::internal::CaptureStdout();
    result = failInLockedFolder(&copy);
    output = testing::internal::GetCapturedStdout();
  }
  setWritable(copy.folder, true);
  if (result == 100) GTEST_SKIP() << "a folder cannot be locked against removal here";
  EXPECT_EQ(copyTransferFailed, result);
  EXPECT_EQ("Failed to copy [" + copy.destination +
                "], the incomplete copy could not be removed and was marked out of date !\n",
            output);
  std::string old;
  EXPECT_TRUE(readFileBytes(copy.destination, &old) && old == "old") << "the old file was touched";
  std::vector<std::string> left = listFiles(copy.folder);
  ASSERT_EQ(2u, left.size());
  FileTimes times;
  ASSERT_TRUE(readFileTimes(joinPath(copy.folder, left[1]), &times)) << left[1];
  EXPECT_LT(times.lastWrite, olderUnits) << "the incomplete copy would pass as current";
}

TEST_F(CopyFailure, FailedWriteKeepsTheOldDestination) {
  std::string bytes = patternBytes(100000);
  ASSERT_TRUE(writeFileBytes(at({"src"}), bytes));
  const long long faults[] = {0, 40000, 99999};
  for (long long path : copyPaths) {
    seams().kernelFallbackAt = path;
    for (long long fault : faults) {
      writeOldFile(at({"dst"}), "old");
      seams().writeFaultAfter = fault;
      testSettings().verbose = 1;
      testing::internal::CaptureStdout();
      EXPECT_EQ(copyTransferFailed, copyBelow(scratch, at({"dst"}), at({"src"})));
      EXPECT_EQ("Failed to copy [" + at({"dst"}) + "], the incomplete copy was removed !\n",
                testing::internal::GetCapturedStdout());
      expectKept(at({"dst"}), "old");
      EXPECT_EQ(std::vector<std::string>({"dst", "src"}), listFiles(scratch)) << fault;
    }
    // A fault after the last byte is none: the copy is whole.
    testSettings().verbose = 0;
    seams().writeFaultAfter = 100000;
    EXPECT_EQ(copyDone, copyBelow(scratch, at({"dst"}), at({"src"})));
    expectCopied(at({"dst"}), bytes);
  }
}

TEST_F(CopyFailure, FullFileSystemLeavesNoDestination) {
  if (!runningPrivileged()) GTEST_SKIP() << "mounting a small file system needs privileges";
  ASSERT_TRUE(makeFolders(at({"small"})));
  if (!mountSmallFileSystem(at({"small"}), 64))
    GTEST_SKIP() << "cannot mount a small file system here";
  ASSERT_TRUE(writeFileBytes(at({"src"}), patternBytes(256 * 1024)));
  std::string destination = at({"small", "file"});
  int result = copyBelow(scratch, destination, at({"src"}));
  bool left = pathExists(destination);
  unmountFileSystem(at({"small"}));
  EXPECT_EQ(copyTransferFailed, result);
  EXPECT_FALSE(left);
  EXPECT_EQ(std::vector<std::string>({"src"}), listFiles(scratch));
}

TEST_F(CopyFailure, SourceThatIsNoFileKeepsTheOldDestination) {
  // A folder where the listing saw a file: it is no file to read, and is not opened.
  ASSERT_TRUE(makeFolders(at({"folder"})));
  writeOldFile(at({"dst"}), "old");
  EXPECT_EQ(copySourceUnreadable, copyBelow(scratch, at({"dst"}), at({"folder"})));
  expectKept(at({"dst"}), "old");
  EXPECT_EQ(std::vector<std::string>({"dst"}), listFiles(scratch));
}

TEST_F(CopyFailure, DestinationLinkIsReplacedNotWrittenThrough) {
  ASSERT_TRUE(writeFileBytes(at({"src"}), "new content"));
  writeOldFile(at({"target"}), "target");
  ASSERT_TRUE(makeFolders(at({"dst"})));
  if (!makeSymlink(at({"target"}), at({"dst", "link"})) ||
      !makeSymlink(at({"nowhere"}), at({"dst", "dangling"})))
    GTEST_SKIP() << "symbolic links cannot be made here";
  for (const char* name : {"link", "dangling"}) {
    std::string link = at({"dst", name});
    EXPECT_EQ(copyDone, copyBelow(scratch, link, at({"src"})));
    expectCopied(link, "new content");
    FileIdentity copied;
    FileIdentity target;
    ASSERT_EQ(0, fileIdentity(link.c_str(), &copied));
    ASSERT_EQ(0, fileIdentity(at({"target"}).c_str(), &target));
    EXPECT_NE(target.index, copied.index) << name << " is still a link";
  }
  expectKept(at({"target"}), "target");
  EXPECT_FALSE(pathExists(at({"nowhere"})));
}

TEST_F(CopyFailure, InterruptionLeavesNoPartialFile) {
  seams().kernelFallbackAt = 0;
  std::string bytes = patternBytes(5 * copyBufferSize + 10);
  ASSERT_TRUE(writeFileBytes(at({"src"}), bytes));
  writeOldFile(at({"dst"}), "old");
  blocksBeforeStop = 0;
  seams().blockDone = interruptAfterTwoBlocks;
  EXPECT_EQ(copyInterrupted, copyBelow(scratch, at({"dst"}), at({"src"})));
  EXPECT_EQ(2, blocksBeforeStop);
  expectKept(at({"dst"}), "old");
  EXPECT_EQ(std::vector<std::string>({"dst", "src"}), listFiles(scratch));
  // The flag stays raised: the next file is not touched at all.
  writeOldFile(at({"dst"}), "old");
  EXPECT_EQ(copyInterrupted, copyBelow(scratch, at({"dst"}), at({"src"})));
  expectKept(at({"dst"}), "old");
}

TEST_F(CopyFailure, InterruptionSignalStopsTheCopy) {
  if (platformIsWindows) GTEST_SKIP() << "Ctrl-C is a console event on Windows, not a signal";
  installInterruptHandler();
  seams().kernelFallbackAt = 0;
  std::string bytes = patternBytes(5 * copyBufferSize + 10);
  ASSERT_TRUE(writeFileBytes(at({"src"}), bytes));
  blocksBeforeStop = 0;
  seams().blockDone = signalAfterTwoBlocks;
  EXPECT_EQ(copyInterrupted, copyBelow(scratch, at({"dst"}), at({"src"})));
  EXPECT_EQ(2, blocksBeforeStop);
  EXPECT_EQ(std::vector<std::string>({"src"}), listFiles(scratch));
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}
// A copy inside the kernel stops between two of its steps, and so does the block
// loop that takes over from it part-way.
TEST_F(CopyFailure, InterruptionStopsALargeCopyEitherWay) {
  std::string bytes = patternBytes(8 * 1048576);
  ASSERT_TRUE(writeFileBytes(at({"src"}), bytes));
  const long long stops[] = {-1, 1048576 + 5};
  for (long long stop : stops) {
    seams().kernelFallbackAt = stop;
    writeOldFile(at({"dst"}), "old");
    blocksBeforeStop = 0;
    seams().blockDone = interruptAfterTwoSteps;
    EXPECT_EQ(copyInterrupted, copyBelow(scratch, at({"dst"}), at({"src"})));
    EXPECT_EQ(2, blocksBeforeStop) << stop;
    expectKept(at({"dst"}), "old");
    EXPECT_EQ(std::vector<std::string>({"dst", "src"}), listFiles(scratch));
    setInterruptRequested(0);
  }
}
}  // namespace
