// A destination folder swapped for a link while the run goes on, between the
// listing and the changes: no change may go through the link, and a change that
// cannot be made is a failure the run reports.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "run/end_to_end_fixture.h"

namespace {
// The folder swapped at the chosen moment, and the link put in its place.
struct Swap {
  int stage;
  std::string folder;
  std::string movedTo;
  std::string linkTarget;
  bool done;
  bool linked;
};
Swap swap;

void swapAtStage(void*, int stage) {
  if (stage != swap.stage || swap.done) return;
  swap.done = true;
  swap.linked = rename(swap.folder.c_str(), swap.movedTo.c_str()) == 0 &&
                makeSymlink(swap.linkTarget, swap.folder);
}

class FolderSwap : public InProcessMirrorTest {
 protected:
  // Swaps dst/sub for a link to outside at stage of the next run.
  void swapSubAt(int stage) {
    swap = Swap{stage, at({"dst", "sub"}), at({"dst", "sub_moved"}), at({"outside"}), false, false};
    seams.reconcile.passStage = swapAtStage;
  }
  // Runs with -v; skips where links cannot be made.
  int runSwapped(std::string* output) {
    int status = runHere({"-v"}, output);
    if (!swap.done) ADD_FAILURE() << "the swap never happened";
    return status;
  }
};

TEST_F(FolderSwap, DeletionsNeverFollowAFolderSwappedForALink) {
  writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
  writeFile(at({"dst", "kept.txt"}), "kept", sourceUnits);
  for (int i = 0; i < 20; ++i) {
    std::string name = "f" + std::to_string(i);
    writeFile(at({"dst", "sub", name}), "destination " + name, olderUnits);
    writeFile(at({"outside", name}), "outside " + name, olderUnits);
  }
  TreeState outside = captureTree(at({"outside"}));
  swapSubAt(passDeletions);
  std::string output;
  int status = runSwapped(&output);
  if (!swap.linked) GTEST_SKIP() << "symbolic links cannot be made here";
  EXPECT_EQ(exitSomeFailed, status) << output;
  expectUnchanged(outside, at({"outside"}));
  // Each deletion is reported as failed; the moved folder, never listed, keeps its files.
  EXPECT_NE(std::string::npos, output.find("Failed to delete [" + at({"dst", "sub", "f7"}) + "]\n"))
      << output;
  EXPECT_EQ(20u, listFiles(at({"dst", "sub_moved"})).size());
  EXPECT_EQ(std::string::npos, output.find("Nothing to do")) << output;
}

TEST_F(FolderSwap, UpdatesNeverWriteThroughAFolderSwappedForALink) {
  writeFile(at({"src", "sub", "a.txt"}), "new a", sourceUnits);
  writeFile(at({"src", "sub", "b.txt"}), "new b", sourceUnits);
  writeFile(at({"dst", "sub", "a.txt"}), "old a", olderUnits);
  writeFile(at({"dst", "sub", "b.txt"}), "old b", olderUnits);
  writeFile(at({"outside", "a.txt"}), "outside a", olderUnits);
  writeFile(at({"outside", "b.txt"}), "outside b", olderUnits);
  TreeState outside = captureTree(at({"outside"}));
  TreeState moved = captureTree(at({"dst", "sub"}));
  swapSubAt(passUpdates);
  std::string output;
  int status = runSwapped(&output);
  if (!swap.linked) GTEST_SKIP() << "symbolic links cannot be made here";
  EXPECT_EQ(exitSomeFailed, status) << output;
  expectUnchanged(outside, at({"outside"}));
  expectUnchanged(moved, at({"dst", "sub_moved"}));
  EXPECT_NE(std::string::npos, output.find("Cannot create file in folder !\n")) << output;
  // The link was put there during the run: it is left as it stands.
  EXPECT_TRUE(pathExists(at({"dst", "sub"})));
  EXPECT_EQ(listFiles(at({"outside"})), listFiles(at({"dst", "sub"})));
}

TEST_F(FolderSwap, CopiesReplaceTheLinkWithAFolderAndLeaveItsTargetAlone) {
  // A copy's folder was not listed with files in it: a link standing there is
  // removed as one found at the listing would be, and the copy makes a real folder.
  writeFile(at({"src", "sub", "new.txt"}), "new", sourceUnits);
  writeFile(at({"src", "sub", "deeper", "new.txt"}), "deeper new", sourceUnits);
  ASSERT_TRUE(makeFolders(at({"dst", "sub"})));
  writeFile(at({"outside", "new.txt"}), "outside new", olderUnits);
  TreeState outside = captureTree(at({"outside"}));
  swapSubAt(passUpdates);
  std::string output;
  int status = runSwapped(&output);
  if (!swap.linked) GTEST_SKIP() << "symbolic links cannot be made here";
  expectUnchanged(outside, at({"outside"}));
  EXPECT_FALSE(pathExists(at({"outside", "deeper"})));
  EXPECT_EQ(exitSuccess, status) << output;
  EXPECT_NE(std::string::npos, output.find("Removed the link [" + at({"dst", "sub"}) + "]\n"))
      << output;
  expectMirror(destination, source);
}

// Swaps a folder with a link, back and forth, as fast as it can from start to stop;
// spare holds whichever of the two is not at folder.
class FolderSwapper {
 public:
  FolderSwapper(const std::string& folder, const std::string& spare)
      : folder_(folder), spare_(spare) {}
  ~FolderSwapper() { stop(); }
  void start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] {
      while (!stopping_)
        if (exchangePaths(folder_, spare_)) ++swaps_;
    });
  }
  // Stops swapping with the folder in its place; the swaps made.
  long long stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (swaps_ % 2 && exchangePaths(folder_, spare_)) ++swaps_;
    return swaps_;
  }
  // In the copies' seam: the swaps begin once the first copy is being written. The
  // run looks for links on the way to a folder before its first copy only, so each
  // later copy meets the swaps in the copy path itself.
  static void startOnFirstBlock(void* swapper, long long) {
    static_cast<FolderSwapper*>(swapper)->start();
  }

 private:
  std::string folder_;
  std::string spare_;
  std::atomic<bool> stopping_{false};
  long long swaps_ = 0;
  std::thread thread_;
};

// Empty destination folders give way to the source's files of their names while
// their parent is swapped again and again for a link to a folder outside the tree
// holding empty folders of the same names: only the destination's own may go.
TEST_F(FolderSwap, EmptyFoldersGiveWayOnlyInsideTheTree) {
  constexpr int folders = 300;
  for (int i = 0; i < folders; ++i) {
    std::string name = "e" + std::to_string(i);
    writeFile(at({"src", "d", name}), "file " + name, sourceUnits);
    ASSERT_TRUE(makeFolders(at({"dst", "d", name})));
    ASSERT_TRUE(makeFolders(at({"outside", "d", name})));
  }
  writeFile(at({"outside", "d", "note.txt"}), "outside note", olderUnits);
  TreeState outside = captureTree(at({"outside"}));
  if (!makeSymlink(at({"outside", "d"}), at({"spare"})))
    GTEST_SKIP() << "symbolic links cannot be made here";
  FolderSwapper swapper(at({"dst", "d"}), at({"spare"}));
  if (!exchangePaths(at({"dst", "d"}), at({"spare"})) ||
      !exchangePaths(at({"dst", "d"}), at({"spare"})))
    GTEST_SKIP() << "two entries cannot be swapped in one step here";
  seams.reconcile.context = &swapper;
  seams.copy.context = &swapper;
  seams.copy.blockDone = FolderSwapper::startOnFirstBlock;
  seams.reconcile.passStage = [](void* swapper, int stage) {
    if (stage == passDeletions) static_cast<FolderSwapper*>(swapper)->stop();
  };
  std::string output;
  int status = runHere({"-v"}, &output);
  EXPECT_GT(swapper.stop(), 1) << "the folder was never swapped";
  EXPECT_TRUE(status == exitSuccess || status == exitSomeFailed) << status << output;
  expectUnchanged(outside, at({"outside"}));
  int left = 0;
  for (int i = 0; i < folders; ++i)
    left += pathExists(at({"outside", "d", "e" + std::to_string(i)}));
  EXPECT_EQ(folders, left) << "empty folders outside the destination were removed";
  // A run without the swaps finishes the mirror.
  seams = noRunSeams;
  EXPECT_EQ(exitSuccess, runHere({}, &output)) << output;
  expectMirror(destination, source);
}
}  // namespace
