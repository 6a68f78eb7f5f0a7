// Whole runs cut short: killed during a large copy, interrupted by Ctrl-C or a
// termination request, stopped with ESC while listing. No cut may leave a file that a
// later run takes for current, and a stop before the changes changes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "run/end_to_end_fixture.h"

namespace {
constexpr size_t largeSize = 64u << 20;
constexpr size_t blockSize = 32768;

class FaultInterruption : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    destination = at({"dst"});
    source = at({"src"});
  }
  void writeLargeSource(const std::string& name = "large.bin") {
    writeFile(at({"src", name}), patternBytes(largeSize, 5), sourceUnits);
    writeFile(at({"src", "small.txt"}), "small", sourceUnits);
  }
  // Waits, at most a few seconds, until the copy of the large file has begun, and
  // gives the path it writes to: the destination itself or a file beside it.
  std::string awaitCopyStart() {
    for (int tries = 0; tries < 5000; ++tries) {
      for (const std::string& name : listFiles(destination))
        if (name.compare(0, 9, "large.bin") == 0) return joinPath(destination, name);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::string();
  }
  void killAtRandomMomentsThenFinish(const std::string& name);
  std::string destination;
  std::string source;
};

const char* const noSignals = "POSIX signals and processes are needed";

// Kills runs at random moments of the copy of the large file named name; after each,
// a whole run must leave an exact mirror.
void FaultInterruption::killAtRandomMomentsThenFinish(const std::string& name) {
  writeLargeSource(name);
  // A whole run sets the range of moments to kill at.
  std::string output;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, run({at({"probe"}), source}, &output)) << output;
  auto whole = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(removeFolderTree(at({"probe"})));
  unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::uniform_int_distribution<long long> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count() * 5 / 4);
  std::string target = at({"dst", name});
  for (int round = 0; round < 4; ++round) {
    // Odd rounds kill an update of an older copy, even rounds a first copy.
    if (round % 2) {
      writeFile(target, "older", olderUnits);
    } else if (pathExists(target)) {
      ASSERT_EQ(0, deleteFile(target.c_str()));
    }
    RunningProgram program;
    ASSERT_TRUE(startProgram({destination, source}, scratch, &program));
    long long after = moment(random);
    std::this_thread::sleep_for(std::chrono::microseconds(after));
    signalProgram(program, signalKill);
    waitProgram(&program, &output);
    // Whatever a kill left under a source file's name must look older than that
    // file, so that the next run updates it; other files it deletes.
    TreeState wanted = captureTree(source);
    for (const auto& entry : captureTree(destination)) {
      auto twin = wanted.find(entry.first);
      if (twin == wanted.end() || entry.second == twin->second) continue;
      EXPECT_LT(entry.second.lastWrite, twin->second.lastWrite)
          << entry.first << ": seed " << seed << ", killed after " << after << " us with "
          << entry.second.bytes.size() << " bytes written";
    }
    EXPECT_EQ(0, run({destination, source}, &output)) << output;
    expectMirror(destination, source);
  }
}

TEST_F(FaultInterruption, KilledCopyIsFinishedByNextRun) {
  if (platformIsWindows) GTEST_SKIP() << noSignals;
  killAtRandomMomentsThenFinish("large.bin");
}

TEST_F(FaultInterruption, KilledCopyOfLongestNameIsFinishedByNextRun) {
  if (platformIsWindows) GTEST_SKIP() << noSignals;
  // No longer name fits beside it, so this copy is written in its place at once.
  killAtRandomMomentsThenFinish(std::string(250, 'n'));
}

TEST_F(FaultInterruption, InterruptedCopyLeavesNoPartialFile) {
  if (platformIsWindows) GTEST_SKIP() << noSignals;
  writeLargeSource();
  std::string target = at({"dst", "large.bin"});
  const ProgramSignal requests[] = {signalInterrupt, signalTerminate};
  for (ProgramSignal request : requests) {
    bool caughtMidCopy = false;
    for (int attempt = 0; attempt < 5 && !caughtMidCopy; ++attempt) {
      if (pathExists(target)) {
        ASSERT_EQ(0, deleteFile(target.c_str()));
      }
      RunningProgram program;
      ASSERT_TRUE(startProgram({destination, source}, scratch, &program));
      std::string written = awaitCopyStart();
      ASSERT_FALSE(written.empty());
      // Paused, the copy shows how far it got; the request is only sent when blocks
      // remain, so it surely lands during the copy.
      signalProgram(program, signalPause);
      std::string bytes;
      readFileBytes(written, &bytes);
      caughtMidCopy = bytes.size() + 2 * blockSize < largeSize;
      if (caughtMidCopy) signalProgram(program, request);
      signalProgram(program, signalResume);
      std::string output;
      int status = waitProgram(&program, &output);
      if (!caughtMidCopy) continue;
      EXPECT_EQ(130, status) << output;
      EXPECT_FALSE(pathExists(target)) << "signal " << request;
      // Whatever else is there is whole.
      TreeState wanted = captureTree(source);
      for (const auto& entry : captureTree(destination))
        EXPECT_TRUE(entry.second == wanted[entry.first]) << entry.first;
    }
    if (!caughtMidCopy) GTEST_SKIP() << "the copy always ended before it could be paused";
  }
}

TEST_F(FaultInterruption, EscapeWhileListingChangesNothing) {
  if (platformIsWindows) GTEST_SKIP() << "the test needs a pseudo-terminal";
  for (int folder = 0; folder < 40; ++folder)
    for (int file = 0; file < 50; ++file)
      writeFile(at({"src", "folder" + std::to_string(folder), std::to_string(file) + ".txt"}),
                "content " + std::to_string(file), sourceUnits);
  writeFile(at({"dst", "folder1", "1.txt"}), "older", olderUnits);
  writeFile(at({"dst", "stale.txt"}), "only here", olderUnits);
  TreeState before = captureTree(destination);
  std::string output;
  bool restored = false;
  int status =
      runProgramOnTerminal({destination, source, "-v"}, scratch, "\x1b", &output, &restored);
  if (status < 0) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(2, status) << output;
  EXPECT_NE(std::string::npos, output.find("Listing stopped: nothing was changed !\n")) << output;
  EXPECT_TRUE(restored);
  expectUnchanged(before, destination);
}
}  // namespace
