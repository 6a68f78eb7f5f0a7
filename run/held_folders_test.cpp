// The folders a run changes are reached from handles it holds since its start: a
// backup folder swapped for a link while the trees are listed still receives the
// moves, nothing lands outside the destination or in the source, and a backup folder
// that cannot take a move from the destination (a bind mount of its file system) is
// refused before anything is listed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/backup_tag.h"
#include "run/end_to_end_fixture.h"

namespace {
class HeldFolders : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
    writeFile(at({"dst", "kept.txt"}), "kept", sourceUnits);
    for (int i = 0; i < 20; ++i)
      writeFile(at({"dst", "old", "f" + std::to_string(i)}), "old " + std::to_string(i),
                olderUnits);
    writeFile(at({"outside", "canary.txt"}), "canary", olderUnits);
  }
  // Swaps folder for a link to target once both listings are over (the folder moves
  // aside to moved); false where links cannot be made here.
  bool swapAfterListing(const std::string& folder, const std::string& target) {
    swap = Swap{folder, folder + "-moved", target, false};
    seams.context = &swap;
    seams.scansEnded = [](void* context) {
      Swap* swap = static_cast<Swap*>(context);
      swap->done = rename(swap->folder.c_str(), swap->moved.c_str()) == 0 &&
                   makeSymlink(swap->target, swap->folder);
    };
    return !platformIsWindows;
  }
  struct Swap {
    std::string folder, moved, target;
    bool done;
  } swap;
};

// The backup folder inside the destination, swapped for a link to a folder outside
// it: the moves go into the backup folder the run made, never outside.
TEST_F(HeldFolders, ABackupFolderInsideSwappedForALinkStillTakesTheMoves) {
  std::string backup = at({"dst", "bk"});
  ASSERT_TRUE(makeFolders(backup));
  if (!swapAfterListing(backup, at({"outside"})))
    GTEST_SKIP() << "a held folder cannot be moved aside on Windows";
  TreeState outside = captureTree(at({"outside"}));
  TreeState source = captureTree(at({"src"}));
  std::string output;
  int status = runHere({"--backup-dir=" + backup}, &output);
  ASSERT_TRUE(swap.done) << "the backup folder was never swapped";
  EXPECT_EQ(exitSuccess, status) << output;
  expectUnchanged(outside, at({"outside"}));
  expectUnchanged(source, at({"src"}));
  // Every old file is in the run's folder of the backup folder that was made.
  int moved = 0;
  for (const auto& file : captureTree(swap.moved))
    moved += file.second.bytes.compare(0, 4, "old ") == 0;
  EXPECT_EQ(20, moved) << output;
}

// The backup folder beside the destination, swapped for a link to the source: not
// one destination file lands in the source.
TEST_F(HeldFolders, ABackupFolderBesideSwappedForALinkToTheSourceLeavesTheSourceAlone) {
  std::string backup = at({"bk"});
  ASSERT_TRUE(makeFolders(backup));
  if (!swapAfterListing(backup, at({"src"})))
    GTEST_SKIP() << "a held folder cannot be moved aside on Windows";
  TreeState source = captureTree(at({"src"}));
  std::string output;
  int status = runHere({"--backup-dir=" + backup, "-v"}, &output);
  ASSERT_TRUE(swap.done) << "the backup folder was never swapped";
  EXPECT_EQ(exitSuccess, status) << output;
  expectUnchanged(source, at({"src"}));
  TreeState moved = captureTree(swap.moved);
  moved.erase(backupTagName);  // the backup folder's tag, beside the run's folder
  EXPECT_EQ(20u, moved.size()) << output;
  EXPECT_TRUE(captureTree(at({"dst", "old"})).empty());
}

// A bind mount of the destination's own file system has its device number, and yet
// takes no rename from it: tried before anything is listed, it is refused then.
TEST_F(HeldFolders, ABackupFolderThatTakesNoMoveIsRefusedBeforeListing) {
  if (platformIsWindows || !runningPrivileged()) GTEST_SKIP() << "needs a bind mount, as root";
  std::string real = at({"real-bk"});
  std::string place = at({"bk"});
  ASSERT_TRUE(makeFolders(real) && makeFolders(place));
  if (!bindFolder(real, place)) GTEST_SKIP() << "cannot mount a folder at a second place here";
  mounted.push_back(place);
  TreeState before = captureTree(at({"dst"}));
  std::string output;
  EXPECT_EQ(exitStopped, runHere({"--backup-dir=" + place, "-v"}, &output)) << output;
  std::string refusal = "] cannot take the files of the destination folder [" + at({"dst"}) +
                        "] (Invalid cross-device link): nothing was changed !\n";
  size_t line = output.find("The backup folder [" + place + pathSeparator);
  EXPECT_NE(std::string::npos, line) << output;
  EXPECT_NE(std::string::npos, output.find(refusal, line == std::string::npos ? 0 : line))
      << output;
  EXPECT_EQ(std::string::npos, output.find("Thread 1 running")) << output;
  expectUnchanged(before, at({"dst"}));
  EXPECT_TRUE(listFiles(place).empty()) << "the run's folder stayed behind";
}
// The reason of a failure is the one the failing call gave: printing the -v line
// first, to a pipe or a file (where the look at the terminal fails), never changes it.
TEST_F(HeldFolders, AFailedDeletionToldWithVToAPipeSaysItsOwnReason) {
  if (platformIsWindows || !runningPrivileged()) GTEST_SKIP() << "needs a read-only mount, as root";
  std::string frozen = at({"dst", "old"});
  if (!freezeFolder(frozen)) GTEST_SKIP() << "cannot mount a folder read-only here";
  mounted.push_back(frozen);
  std::string output, errors;
  EXPECT_EQ(exitSomeFailed, runHere({"-v"}, &output, &errors)) << output;
  std::string path = joinPath(frozen, "f0");
  EXPECT_NE(std::string::npos, output.find("Failed to delete [" + path + "]\n")) << output;
  EXPECT_NE(std::string::npos,
            errors.find("Could not delete [" + path + "]: Read-only file system\n"))
      << errors;
  EXPECT_EQ(std::string::npos, errors.find("Inappropriate ioctl")) << errors;
}
}  // namespace
