// Power cut during a run, on a real file system: an image on a loop device whose
// journal is cut off (the shutdown ioctl without log flush) after a chosen number of
// copies took their names. After the journal's replay, every destination file that
// carries its source's time must hold the source's bytes, and one more run must
// leave an exact mirror.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"
#include "run/run.h"

namespace {
struct CrashRun {
  std::vector<std::string> arguments;
  std::string mountPoint;
  long long crashAfter;  ///< copies placed before the cut; 0 for a whole run
  int openFiles;         ///< files the run may open; 0: as many as the program wants
};
CrashRun* crashRun;

// Exit status of a child whose file system was cut off.
constexpr int cutOff = 99;

void cutAfterEnoughCopies(void*, long long placed) {
  if (placed < crashRun->crashAfter) return;
  fflush(stdout);
  _exit(crashFileSystem(crashRun->mountPoint) ? cutOff : cutOff + 1);
}

// In the child: one whole run of the program, cut off where asked.
int runMirror(void* context) {
  crashRun = static_cast<CrashRun*>(context);
  RunSeams seams = noRunSeams;
  seams.copy.placed = crashRun->crashAfter > 0 ? cutAfterEnoughCopies : nullptr;
  // Few files open, unless the test takes the program's own sizes: its copies then
  // wait for their sync a few dozen at a time, and the few hundred here meet many.
  if (crashRun->openFiles > 0 && !limitOpenFiles(crashRun->openFiles)) return cutOff + 2;
  std::vector<char*> argv;
  static char name[] = "talven";
  argv.push_back(name);
  for (std::string& argument : crashRun->arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  return runTalvenWith(static_cast<int>(argv.size() - 1), argv.data(), &seams);
}

class CrashDurability : public EndToEndTest, public testing::WithParamInterface<const char*> {
 protected:
  void TearDown() override {
    removeLoopFileSystem(&fileSystem);
    EndToEndTest::TearDown();
  }
  // A source of many small files in folders, a few larger ones, and a destination
  // already holding older copies of some and files the source does not have.
  void makeTrees(const std::string& destination) {
    for (int i = 0; i < 400; ++i) {
      std::string name = "f" + std::to_string(i) + ".txt";
      std::string path = at({"src", "d" + std::to_string(i % 16), name});
      writeFile(path, patternBytes(static_cast<size_t>(i * 37 % 12000), i), sourceUnits + i);
      if (i % 3 == 0)
        writeFile(joinPath(joinPath(destination, "d" + std::to_string(i % 16)), name), "older",
                  olderUnits);
    }
    for (int i = 0; i < 3; ++i)
      writeFile(at({"src", "large" + std::to_string(i) + ".bin"}), patternBytes(3u << 20, 100 + i),
                sourceUnits);
    writeFile(joinPath(destination, "gone.txt"), "not in the source", olderUnits);
    ASSERT_EQ(0, syncChangedFileSystems(destination.c_str()));
  }
  // Every destination file under a source name that carries the source's time holds
  // the source's bytes; returns how many carry it.
  int expectCurrentFilesWhole(const std::string& destination, const std::string& source) {
    TreeState wanted = captureTree(source);
    int current = 0;
    std::string damaged;
    int damagedCount = 0;
    for (const auto& entry : captureTree(destination)) {
      auto twin = wanted.find(entry.first);
      if (twin == wanted.end() || entry.second.lastWrite != twin->second.lastWrite) continue;
      ++current;
      if (twin->second.bytes == entry.second.bytes) continue;
      if (++damagedCount <= 5)
        damaged += " " + entry.first + " (" + std::to_string(entry.second.bytes.size()) + " of " +
                   std::to_string(twin->second.bytes.size()) + " bytes)";
    }
    EXPECT_EQ(0, damagedCount) << "of " << current << " files that look current:" << damaged;
    return current;
  }
  void cutAfter(long long copies, const std::vector<std::string>& options, int openFiles = 100);
  LoopFileSystem fileSystem = {};
};

void CrashDurability::cutAfter(long long copies, const std::vector<std::string>& options,
                               int openFiles) {
  std::string reason =
      makeLoopFileSystem(scratch, GetParam(), GetParam()[0] == 'x' ? 320 : 64, &fileSystem);
  if (!reason.empty()) GTEST_SKIP() << reason;
  std::string destination = joinPath(fileSystem.mountPoint, "dst");
  std::string source = at({"src"});
  makeTrees(destination);
  CrashRun cut = {{destination, source}, fileSystem.mountPoint, copies, openFiles};
  for (const std::string& option : options) cut.arguments.push_back(option);
  std::string output;
  ASSERT_EQ(cutOff, runBodyInChild(runMirror, &cut, &output)) << output;
  ASSERT_TRUE(remountLoopFileSystem(&fileSystem));
  int current = expectCurrentFilesWhole(destination, source);
  EXPECT_GE(current, 1) << "no copy was kept: the cut came before any was in place";
  CrashRun whole = {{destination, source}, fileSystem.mountPoint, 0, openFiles};
  EXPECT_EQ(0, runBodyInChild(runMirror, &whole, &output)) << output;
  // The marker of the cut is not the destination's.
  deleteFile(joinPath(fileSystem.mountPoint, ".journal-commit").c_str());
  expectMirror(destination, source);
  ASSERT_TRUE(remountLoopFileSystem(&fileSystem));
  expectMirror(destination, source);
}

TEST_P(CrashDurability, CutAfterTheFirstCopy) {
  cutAfter(1, {});
}

TEST_P(CrashDurability, CutInsideTheFirstBatch) {
  cutAfter(150, {});
}

TEST_P(CrashDurability, CutInsideALaterBatch) {
  cutAfter(300, {});
}

// Batches as the program makes them: with copy workers, each handed to its sync as
// soon as the one before is synced, so the cut falls wherever they happen to end.
TEST_P(CrashDurability, CutWithBatchesAsTheyCome) {
  cutAfter(300, {"--workers=2"}, 0);
}

// One worker: the deciding thread writes the copies itself and syncs each batch.
TEST_P(CrashDurability, CutWithOneWorker) {
  cutAfter(300, {"--workers=1"});
}

// Shows what the cut does to a run that does not sync: run by hand with
// --gtest_also_run_disabled_tests; it is expected to fail.
TEST_P(CrashDurability, DISABLED_CutWithoutSyncing) {
  cutAfter(300, {"--no-sync"});
}

INSTANTIATE_TEST_SUITE_P(FileSystems, CrashDurability, testing::Values("ext4", "xfs"));
}  // namespace
