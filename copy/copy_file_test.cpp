#include <gtest/gtest.h>

#include "copy/copy_test_fixture.h"
#include "platform/copy_files.h"

namespace {
int blocksSeen;
void countBlock(void*, long long) {
  ++blocksSeen;
}

using CopyFile = CopyFileFixture;

TEST_F(CopyFile, SizesAroundTheBlockArriveExactlyWithTheTime) {
  const size_t sizes[] = {0, 32767, 32768, 32769, 65536};
  const int reads[] = {1, 1, 2, 2, 3};
  seams().blockDone = countBlock;
  for (long long path : copyPaths) {
    seams().kernelFallbackAt = path;
    for (int index = 0; index < 5; ++index) {
      std::string name = std::to_string(sizes[index]) + "-" + std::to_string(path);
      std::string source = at({("src" + name).c_str()});
      std::string destination = at({("dst" + name).c_str()});
      std::string bytes = patternBytes(sizes[index]);
      ASSERT_TRUE(writeFileBytes(source, bytes));
      // An older, longer destination must be replaced, not overwritten in place.
      writeOldFile(destination, std::string(70000, 'x'));
      blocksSeen = 0;
      EXPECT_EQ(copyDone, copyBelow(scratch, destination, source));
      if (path == 0) {
        EXPECT_EQ(reads[index], blocksSeen) << name;
      }
      expectCopied(destination, bytes);
    }
  }
}

// Room for the rest of a large copy is reserved once it reaches 1 MiB.
TEST_F(CopyFile, LargeCopiesArriveExactly) {
  const size_t sizes[] = {1048575, 1048576, 1048577, 3 * 1048576 + 5};
  for (long long path : copyPaths) {
    seams().kernelFallbackAt = path;
    for (size_t size : sizes) {
      std::string name = std::to_string(size) + "-" + std::to_string(path);
      std::string source = at({("src" + name).c_str()});
      std::string destination = at({("dst" + name).c_str()});
      std::string bytes = patternBytes(size);
      ASSERT_TRUE(writeFileBytes(source, bytes));
      EXPECT_EQ(copyDone, copyBelow(scratch, destination, source));
      expectCopied(destination, bytes);
    }
  }
}

// True when the kernel copies between two files of the scratch folder.
bool kernelCopies(const std::string& root, const std::string& from, const std::string& to) {
  if (!writeFileBytes(from, "probe")) return false;
  SourceFile source;
  int failure = 0;
  TreeFolders folders;
  HeldFolder held;
  if (openSourceFile(from.c_str(), &source, &failure) != sourceOpened) return false;
  if (holdFolder(&held, root.c_str()) != folderDone || openTreeFolders(&folders, &held)) {
    releaseHeldFolder(&held);
    closeFile(source.handle);
    return false;
  }
  FileHandle destination = createNewFileIn(&folders, to.c_str(), 0666);
  long long moved = destination != noFile ? copyInKernel(source.handle, destination, 5) : -1;
  closeFile(source.handle);
  if (destination != noFile) closeFile(destination);
  closeTreeFolders(&folders);
  releaseHeldFolder(&held);
  std::string copied;
  EXPECT_TRUE(moved != 5 || (readFileBytes(to, &copied) && copied == "probe"));
  return moved == 5;
}

TEST_F(CopyFile, KernelCopyMovesLargeStepsWhereTheSystemHasIt) {
  if (platformIsWindows) {
    EXPECT_EQ(kernelCopyUnavailable, copyInKernel(noFile, noFile, 1));
    GTEST_SKIP() << "Windows copies through the block loop";
  }
  if (!kernelCopies(scratch, at({"probe"}), at({"probe-copy"})))
    GTEST_SKIP() << "the kernel does not copy between files here";
  std::string bytes = patternBytes(3 * 1048576 + 5);
  ASSERT_TRUE(writeFileBytes(at({"src"}), bytes));
  seams().blockDone = countBlock;
  blocksSeen = 0;
  EXPECT_EQ(copyDone, copyBelow(scratch, at({"dst"}), at({"src"})));
  // Steps of at most 1 MiB: 4 at least, and nowhere near the 97 blocks of 32 KiB.
  EXPECT_GE(blocksSeen, 4);
  EXPECT_LE(blocksSeen, 12);
  expectCopied(at({"dst"}), bytes);
}

// Wherever the kernel stops, the block loop goes on from there: nothing is lost or
// written twice, and the end of the file is still found by reading.
TEST_F(CopyFile, BlockLoopTakesOverWhereTheKernelStops) {
  const size_t sizes[] = {1, 32767, 32768, 100000, 1048577};
  const long long stops[] = {1, 32767, 32768, 1048576};
  for (size_t size : sizes) {
    std::string source = at({("src" + std::to_string(size)).c_str()});
    std::string bytes = patternBytes(size);
    ASSERT_TRUE(writeFileBytes(source, bytes));
    for (long long stop : stops) {
      std::string destination =
          at({("dst" + std::to_string(size) + "-" + std::to_string(stop)).c_str()});
      seams().kernelFallbackAt = stop;
      EXPECT_EQ(copyDone, copyBelow(scratch, destination, source));
      expectCopied(destination, bytes);
    }
  }
}

std::string shrinkingSource;
void shrinkSourceAfterReservation(void*, long long written) {
  if (written == 2 * 1048576) writeFileBytes(shrinkingSource, patternBytes(2 * 1048576 + 1000));
}

TEST_F(CopyFile, SourceShrinkingAfterReservationLeavesNoRoomBehind) {
  for (long long path : copyPaths) {
    seams().kernelFallbackAt = path;
    shrinkingSource = at({"src"});
    std::string destination = at({("dst" + std::to_string(path)).c_str()});
    ASSERT_TRUE(writeFileBytes(shrinkingSource, patternBytes(8 * 1048576)));
    seams().blockDone = shrinkSourceAfterReservation;
    EXPECT_EQ(copyDone, copyBelow(scratch, destination, shrinkingSource));
    seams().blockDone = nullptr;
    expectCopied(destination, patternBytes(2 * 1048576 + 1000));
    long long allocated = allocatedBytes(destination);
    if (allocated < 0) GTEST_SKIP() << "the system does not tell the room a file takes";
    EXPECT_LT(allocated, 3 * 1048576) << "the room reserved for 8 MiB stayed with the copy";
  }
}

std::string growingSource;
void growSourceOnce(void*, long long written) {
  if (growingSource.empty() || written < 1048576) return;
  writeFileBytes(growingSource, patternBytes(3 * 1048576));
  growingSource.clear();
}

// Either way, the copy reads on to the source's end as it finds it.
TEST_F(CopyFile, SourceGrowingDuringTheCopyIsCopiedToItsNewEnd) {
  for (long long path : copyPaths) {
    seams().kernelFallbackAt = path;
    growingSource = at({"src"});
    std::string destination = at({("dst" + std::to_string(path)).c_str()});
    ASSERT_TRUE(writeFileBytes(growingSource, patternBytes(1048576 + 7)));
    seams().blockDone = growSourceOnce;
    EXPECT_EQ(copyDone, copyBelow(scratch, destination, at({"src"})));
    seams().blockDone = nullptr;
    EXPECT_TRUE(growingSource.empty()) << "the hook never ran";
    expectCopied(destination, patternBytes(3 * 1048576));
  }
}

TEST_F(CopyFile, LineEndsAndByte26PassUnchanged) {
  std::string bytes = std::string(
      "one\r\ntwo\nthree\rfour\x1a"
      "five\n\x1a\r\n",
      24);
  ASSERT_TRUE(writeFileBytes(at({"src"}), bytes));
  EXPECT_EQ(copyDone, copyBelow(scratch, at({"dst"}), at({"src"})));
  expectCopied(at({"dst"}), bytes);
}

TEST_F(CopyFile, AMissingSourceTouchesNothingAndIsToldAsVanished) {
  std::string destination = at({"dst", "file"});
  writeOldFile(destination, "old");
  std::string inMissingFolder = at({"dst", "missing", "file"});
  testSettings().verbose = 1;
  testing::internal::CaptureStdout();
  std::string absent = at({"absent"});
  // A source gone since the listing, itself or a folder on its way.
  std::string inAbsentFolder = at({"absent", "file"});
  EXPECT_EQ(copySourceVanished, copyBelow(scratch, destination, absent));
  EXPECT_EQ(copySourceVanished, copyBelow(scratch, inMissingFolder, inAbsentFolder));
  EXPECT_EQ("Vanished from the source since it was listed [" + absent +
                "]\nVanished from the source since it was listed [" + inAbsentFolder + "]\n",
            testing::internal::GetCapturedStdout());
  expectKept(destination, "old");
  EXPECT_FALSE(pathExists(at({"dst", "missing"})));
}

TEST_F(CopyFile, MissingFoldersAreCreatedWithOneMessage) {
  ASSERT_TRUE(makeFolders(at({"dst"})));
  ASSERT_TRUE(writeFileBytes(at({"src"}), "content"));
  std::string destination = at({"dst", "a", "b", "c.txt"});
  testSettings().verbose = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(copyDone, copyBelow(scratch, destination, at({"src"})));
  EXPECT_EQ("Creating folder [" + at({"dst", "a", "b"}) + "]\nFiletime set successfully " +
                destination + "!\n",
            testing::internal::GetCapturedStdout());
  expectCopied(destination, "content");
}

TEST_F(CopyFile, DoubledSeparatorLosesOnlyOne) {
  ASSERT_TRUE(writeFileBytes(at({"src"}), "content"));
  std::string folder = at({"dst"}) + pathSeparator;
  std::string destination = folder + pathSeparator + "c.txt";
  EXPECT_EQ(copyDone, copyBelow(scratch, destination, at({"src"})));
  expectCopied(at({"dst", "c.txt"}), "content");
}

TEST_F(CopyFile, DeepFolderBeyondOneNameIsFound) {
  // Longer than the longest name, still well inside a path buffer where that allows it.
  std::string folder = at({"deep"});
  while (folder.size() < static_cast<size_t>(256) + 20) folder = joinPath(folder, "lvl");
  if (folder.size() + 10 >= static_cast<size_t>(pathBufferSize))
    GTEST_SKIP() << "a path buffer here is too small for a directory this deep";
  ASSERT_TRUE(writeFileBytes(at({"src"}), "deep"));
  std::string destination = joinPath(folder, "c.txt");
  EXPECT_EQ(copyDone, copyBelow(scratch, destination, at({"src"})));
  expectCopied(destination, "deep");
}

TEST_F(CopyFile, DestinationNamingAFolderCannotBeCreated) {
  ASSERT_TRUE(writeFileBytes(at({"src"}), "content"));
  ASSERT_TRUE(writeFileBytes(at({"dst", "inside"}), "inside"));
  testSettings().verbose = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(copyCannotCreate, copyBelow(scratch, at({"dst"}), at({"src"})));
  EXPECT_EQ("Creating folder [" + scratch + "]\nCannot create file in folder !\n",
            testing::internal::GetCapturedStdout());
  std::string inside;
  EXPECT_TRUE(readFileBytes(at({"dst", "inside"}), &inside));
  EXPECT_EQ("inside", inside);
  // Nothing was written beside the folder.
  EXPECT_EQ((std::vector<std::string>{joinPath("dst", "inside"), "src"}), listFiles(scratch));
}
}  // namespace
