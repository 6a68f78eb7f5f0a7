// The program itself killed at chosen moments while it updates many files on a small
// file system: no kill may leave a file that a later run keeps with the wrong bytes.
// Once where no copy can make a file of its own (the file system out of inodes: every
// update fails alone and the old files stay), once with room; then one whole run
// leaves an exact mirror.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/backup_tag.h"
#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"
#include "run/exact_tree.h"

namespace {
// Moments of the kills, in hundredths of the time a whole run takes: from the listing
// through the copies and their syncs to the deletions, and after the end. Each is
// met killsPerMoment times.
constexpr int killMoments[] = {2,  5,  10, 15, 20, 25, 30, 35, 40, 45,  50,
                               55, 60, 65, 70, 75, 80, 85, 90, 95, 100, 120};
constexpr int killsPerMoment = 1;
constexpr int largeFiles = 24;
constexpr int smallFiles = 60;

class KilledRuns : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    source = at({"src"});
    errorsFile = at({"errors.txt"});
  }
  void TearDown() override {
    removeLoopFileSystem(&fileSystem);
    EndToEndTest::TearDown();
  }
  // Files of 1 to 4 MiB and small ones, in a few folders, each with a time of its own.
  void makeSource() {
    for (int i = 0; i < largeFiles; ++i)
      writeFile(at({"src", "large" + std::to_string(i % 3), "l" + std::to_string(i) + ".bin"}),
                patternBytes((static_cast<size_t>(1 + i % 4) << 20) + 4099u * i, i),
                sourceUnits + i);
    for (int i = 0; i < smallFiles; ++i)
      writeFile(at({"src", "small" + std::to_string(i % 4), "s" + std::to_string(i) + ".txt"}),
                patternBytes(100 + 53u * i, 1000 + i), sourceUnits + 100 + i);
    wanted = captureTree(source);
  }
  // An older file for every source file; mixed, some are missing (first copies) and
  // a few files the source does not have wait for their deletion.
  void makeOldDestination(bool mixed) {
    if (pathExists(destination)) {
      ASSERT_TRUE(removeFolderTree(destination));
    }
    ASSERT_TRUE(makeFolders(destination));
    int n = 0;
    for (const auto& entry : wanted)
      if (!mixed || ++n % 5 != 0)
        writeFile(joinPath(destination, entry.first), "older " + entry.first, olderUnits);
    for (int i = 0; mixed && i < 5; ++i)
      writeFile(joinPath(destination, joinPath("gone", "g" + std::to_string(i))), "gone",
                olderUnits);
  }
  // Takes every free inode of the image with empty files, outside the destination.
  bool fillInodes() {
    std::string fill = joinPath(fileSystem.mountPoint, "fill");
    if (!makeFolders(fill)) return false;
    int made = 0;
    while (makeEntryIn(fill, "f" + std::to_string(made), false)) ++made;
    return made > 0 && !makeEntryIn(destination, "probe", false);
  }
  // Starts a run and kills it at moment hundredths of a whole run; true when it was
  // still running then.
  bool runKilledAt(int moment, const std::vector<std::string>& options = {}) {
    RunningProgram program;
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    if (!startProgramWithErrors(arguments, scratch, errorsFile, &program)) {
      ADD_FAILURE() << "the program could not be started";
      return false;
    }
    std::this_thread::sleep_for(wholeRun * moment / 100);
    bool running = programRunning(program);
    signalProgram(program, signalKill);
    std::string output;
    waitProgram(&program, &output);
    return running;
  }
  int expectNothingWrongKept(const TreeState& before, const std::string& moment);
  int expectEveryOldFileKept(const TreeState& before, const std::string& backup,
                             const std::string& moment);
  void measureWholeRun();
  void killWithoutRoom();
  void killWithRoom();
  LoopFileSystem fileSystem = {};
  std::string destination;
  std::string source;
  std::string errorsFile;
  TreeState wanted;  ///< the source
  std::chrono::microseconds wholeRun{0};
};

bool isPartialName(const std::string& path) {
  return path.find(".talven-partial") != std::string::npos;
}

// A link or another name made beside its place, not yet renamed into it.
bool isNewEntryName(const std::string& path) {
  return path.find(".talven-new-") != std::string::npos;
}

// What a kill of an exact mirror left, against the destination before the run: every
// entry is as it was, or as the source has it (a folder of either kind whatever its
// time, which comes last), or a partial file or new entry a later run deletes; an
// entry is gone only where the source lacks it or has another kind there.
int expectNothingWrongLeft(const ExactTree& before, const ExactTree& wanted, const ExactTree& now,
                           const std::string& moment) {
  int wrong = 0;
  std::string shown;
  auto tell = [&](const std::string& path, const std::string& what) {
    if (++wrong <= 5) shown += " " + path + " (" + what + ")";
  };
  auto sameAs = [](const ExactTree& tree, const std::string& path, const ExactEntry& entry) {
    auto found = tree.find(path);
    if (found == tree.end() || found->second.kind != entry.kind) return false;
    return entry.kind == entryFolder ||
           (found->second.content == entry.content && found->second.time == entry.time);
  };
  for (const auto& entry : now)
    if (!sameAs(before, entry.first, entry.second) && !sameAs(wanted, entry.first, entry.second) &&
        !isPartialName(entry.first) && !isNewEntryName(entry.first))
      tell(entry.first, "neither its old self nor its source's copy");
  for (const auto& entry : before) {
    auto source = wanted.find(entry.first);
    if (!now.count(entry.first) && source != wanted.end() &&
        source->second.kind == entry.second.kind)
      tell(entry.first, "gone");
  }
  EXPECT_EQ(0, wrong) << "killed after " << moment << ":" << shown;
  return wrong;
}

// What a kill left, against the destination before the run: a file under a source
// name that carries the source's time holds the source's bytes (a later run keeps
// it); any other file is as it was, or a partial file that a later run deletes; a
// file is gone only where the source lacks it. Returns the source files current.
int KilledRuns::expectNothingWrongKept(const TreeState& before, const std::string& moment) {
  TreeState now = captureTree(destination);
  int current = 0, wrong = 0;
  std::string shown;
  auto tell = [&](const std::string& path, const std::string& what) {
    if (++wrong <= 5) shown += " " + path + " (" + what + ")";
  };
  for (const auto& entry : now) {
    auto twin = wanted.find(entry.first);
    auto old = before.find(entry.first);
    std::string bytes = std::to_string(entry.second.bytes.size()) + " bytes";
    if (twin != wanted.end()) bytes += " of " + std::to_string(twin->second.bytes.size());
    if (twin != wanted.end() && entry.second.lastWrite == twin->second.lastWrite) {
      ++current;
      if (entry.second.bytes != twin->second.bytes)
        tell(entry.first, bytes + ", the source's time");
    } else if (old != before.end() ? !(old->second == entry.second)
                                   : twin != wanted.end() || !isPartialName(entry.first)) {
      tell(entry.first, bytes + ", neither its old self nor its source's copy");
    }
  }
  for (const auto& entry : before)
    if (!now.count(entry.first) && wanted.count(entry.first)) tell(entry.first, "gone");
  EXPECT_EQ(0, wrong) << "killed after " << moment << ":" << shown;
  return current;
}

// With --backup-dir, what a kill left: every file of the destination before the run
// is at its place as it was, or in the backup folder as it was, under its path below
// the run's folder; nothing in the backup folder is anything else. Returns the files
// found moved.
int KilledRuns::expectEveryOldFileKept(const TreeState& before, const std::string& backup,
                                       const std::string& moment) {
  TreeState now = captureTree(destination);
  TreeState moved;
  int wrong = 0;
  std::string shown;
  auto tell = [&](const std::string& path, const std::string& what) {
    if (++wrong <= 5) shown += " " + path + " (" + what + ")";
  };
  if (pathExists(backup))
    for (const auto& entry : captureTree(backup)) {
      // The backup folder's tag, whole or cut short by the kill.
      if (entry.first == backupTagName) continue;
      // The run's folder, then the file's path below the destination.
      size_t below = entry.first.find(pathSeparator);
      if (below == std::string::npos) {
        tell(entry.first, "outside a run's folder");
        continue;
      }
      std::string path = entry.first.substr(below + 1);
      auto old = before.find(path);
      if (old == before.end() || !(old->second == entry.second))
        tell(entry.first, "in the backup folder, not a file the destination had");
      moved[path] = entry.second;
    }
  for (const auto& entry : before) {
    auto here = now.find(entry.first);
    if (!(here != now.end() && here->second == entry.second) && !moved.count(entry.first))
      tell(entry.first, "neither at its place nor in the backup folder");
  }
  EXPECT_EQ(0, wrong) << "killed after " << moment << ":" << shown;
  return static_cast<int>(moved.size());
}

// A whole run with room sets the time the moments of the kills are taken of.
void KilledRuns::measureWholeRun() {
  makeOldDestination(true);
  std::string output;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, run({destination, source}, &output)) << output;
  wholeRun = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  expectMirror(destination, source);
}

// Out of inodes, no copy can make a file of its own anywhere: every update fails
// alone, killed or not, and the older files stay as they were.
void KilledRuns::killWithoutRoom() {
  makeOldDestination(false);
  TreeState before = captureTree(destination);
  ASSERT_TRUE(fillInodes()) << "the image still takes new files";
  int killedRunning = 0;
  for (int moment : killMoments)
    for (int time = 0; time < killsPerMoment; ++time) {
      killedRunning += runKilledAt(moment);
      expectNothingWrongKept(before, std::to_string(moment) + "% without room");
    }
  EXPECT_GT(killedRunning, 0) << "every run ended before its kill";
  // A whole run: every update fails, told once each, and nothing changes.
  std::string output, errors;
  EXPECT_EQ(1, runProgramWithErrors({destination, source}, scratch, errorsFile, &output, &errors))
      << output;
  expectUnchanged(before, destination);
  size_t told = 0;
  const std::string line = "Could not create the file [";
  for (size_t at = errors.find(line); at != std::string::npos; at = errors.find(line, at + 1))
    ++told;
  EXPECT_EQ(wanted.size(), told) << errors;
}

// With room, each kill meets older files, missing ones and some to delete; the last
// kill's leftovers then meet one whole run, which makes the mirror.
void KilledRuns::killWithRoom() {
  int caughtCopying = 0;
  for (int moment : killMoments)
    for (int time = 0; time < killsPerMoment; ++time) {
      makeOldDestination(true);
      TreeState before = captureTree(destination);
      runKilledAt(moment);
      int current = expectNothingWrongKept(before, std::to_string(moment) + "% with room");
      // Under way: some copies in place and some not, or copies left under partial
      // names (the copies take their names in a few steps, one per sync).
      int partial = 0;
      for (const auto& entry : captureTree(destination)) partial += isPartialName(entry.first);
      caughtCopying += (current > 0 && current < static_cast<int>(wanted.size())) || partial > 0;
    }
  EXPECT_GT(caughtCopying, 0) << "no kill came while the copies were under way";
  std::string output;
  EXPECT_EQ(0, run({destination, source}, &output)) << output;
  expectMirror(destination, source);
}

// With --backup-dir, an update moves the old file away before its copy takes the
// name, and a deletion is a move: whenever the run is killed, every file the
// destination had is at its place or in the backup folder.
TEST_F(KilledRuns, NoKillWithABackupFolderLosesAFile) {
  std::string reason = makeLoopFileSystem(scratch, "ext4", 192, &fileSystem);
  if (!reason.empty()) GTEST_SKIP() << reason;
  destination = joinPath(fileSystem.mountPoint, "dst");
  std::string backup = joinPath(fileSystem.mountPoint, "versions");
  const std::vector<std::string> options = {"--backup-dir=" + backup};
  makeSource();
  std::string output;
  std::vector<std::string> arguments = {destination, source, options[0]};
  // The moments are taken of a whole run measured just before them: on a machine
  // whose load changes (other tests on loop images beside this one), a round whose
  // kills all came before or after the moves is measured and tried again.
  int caughtMoving = 0;
  for (int round = 0; round < 3 && caughtMoving == 0; ++round) {
    makeOldDestination(true);
    ASSERT_TRUE(!pathExists(backup) || removeFolderTree(backup));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, run(arguments, &output)) << output;
    wholeRun = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    expectMirror(destination, source);
    for (int moment : killMoments) {
      makeOldDestination(true);
      ASSERT_TRUE(!pathExists(backup) || removeFolderTree(backup));
      TreeState before = captureTree(destination);
      runKilledAt(moment, options);
      int moved = expectEveryOldFileKept(before, backup, std::to_string(moment) + "%");
      caughtMoving += moved > 0 && moved < static_cast<int>(before.size());
    }
  }
  EXPECT_GT(caughtMoving, 0) << "no kill came while the old files were being moved";
  // The last kill's leftovers meet one whole run, which makes the mirror; the old
  // files stay in the backup folder.
  TreeState moved = pathExists(backup) ? captureTree(backup) : TreeState();
  EXPECT_EQ(0, run(arguments, &output)) << output;
  expectMirror(destination, source);
  TreeState kept = captureTree(backup);
  for (const auto& entry : moved) EXPECT_TRUE(kept.count(entry.first)) << entry.first;
}

// --exact: links, names of one file, folders to make and to remove. Whenever the run
// is killed nothing is wrong, and the next whole run makes the exact mirror.
TEST_F(KilledRuns, AnExactMirrorKilledAnywhereIsMadeWholeByTheNextRun) {
  if (platformIsWindows) GTEST_SKIP() << "links and names of one file are made on POSIX here";
  std::string reason = makeLoopFileSystem(scratch, "ext4", 192, &fileSystem);
  if (!reason.empty()) GTEST_SKIP() << reason;
  destination = joinPath(fileSystem.mountPoint, "dst");
  makeSource();
  for (int i = 0; i < 12; ++i) {
    std::string name = std::to_string(i);
    ASSERT_TRUE(makeSymlink(joinPath("..", joinPath("small0", "s0.txt")),
                            at({"src", "small1", "link" + name})));
    ASSERT_TRUE(makeHardLink(at({"src", "small2", "s" + std::to_string(2 + 4 * i) + ".txt"}),
                             at({"src", "small3", "name" + name})));
    ASSERT_TRUE(makeFolders(at({"src", "empty" + name, "nested"})));
  }
  const std::vector<std::string> options = {"--exact"};
  ExactTree exactSource = captureExact(source);
  makeOldDestination(true);
  std::string output;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, run({destination, source, "--exact"}, &output)) << output;
  wholeRun = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  int killedRunning = 0;
  for (int moment : killMoments) {
    makeOldDestination(true);
    ASSERT_TRUE(makeFolders(joinPath(destination, joinPath("old", "empty"))));
    ASSERT_TRUE(makeSymlink("s9.txt", joinPath(destination, joinPath("small1", "link3"))));
    ExactTree before = captureExact(destination);
    killedRunning += runKilledAt(moment, options);
    expectNothingWrongLeft(before, exactSource, captureExact(destination),
                           std::to_string(moment) + "%");
  }
  EXPECT_GT(killedRunning, 0) << "every run ended before its kill";
  EXPECT_EQ(0, run({destination, source, "--exact"}, &output)) << output;
  ExactTree mirrored = captureExact(destination);
  EXPECT_TRUE(exactSource == mirrored) << describe(exactSource, mirrored);
}

TEST_F(KilledRuns, NoKillLeavesAFileThatALaterRunKeepsWrong) {
  std::string reason = makeLoopFileSystem(scratch, "ext4", 192, &fileSystem);
  if (!reason.empty()) GTEST_SKIP() << reason;
  destination = joinPath(fileSystem.mountPoint, "dst");
  makeSource();
  measureWholeRun();
  if (HasFatalFailure()) return;
  killWithoutRoom();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(removeFolderTree(joinPath(fileSystem.mountPoint, "fill")));
  killWithRoom();
}
}  // namespace
