// Runs short of what the process is given: few open files, and a standard output
// whose reader leaves early (talven ... -v | head).
#include <gtest/gtest.h>

#include <string>

#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"

namespace {
using OutputAndFiles = EndToEndTest;

constexpr int fewOpenFiles = 40;

struct LimitedRun {
  std::string destination;
  std::string source;
  int free;  ///< descriptors below the limit that are free when the run starts
};

// In a child that may hold only 40 files open, as under `ulimit -n 40`, whose parent
// left open all descriptors below the limit but run->free.
int runWithFortyOpenFiles(void* context) {
  LimitedRun* run = static_cast<LimitedRun*>(context);
  if (!leaveOpenFilesFree(fewOpenFiles, run->free)) return 97;
  if (!limitOpenFiles(fewOpenFiles)) return 98;
  std::string program = "talven";
  char* argv[] = {&program[0], &run->destination[0], &run->source[0], nullptr};
  return runTalven(3, argv);
}

// Far more files than the limit, in the root and in a folder, both to be made: which
// open takes the last descriptor depends on how many the parent left, so every
// count is tried, down to a handful (with fewer, the sanitizers' own checks find
// none free).
TEST_F(OutputAndFiles, FewOpenFilesNeverFailACopy) {
  if (platformIsWindows) GTEST_SKIP() << "the limit of open files is a POSIX matter";
  for (int i = 0; i < 100; ++i) {
    std::string name = "f" + std::to_string(i) + ".txt";
    writeFile(at({"src", i < 60 ? name : "sub/" + name}), "file " + std::to_string(i), sourceUnits);
  }
  int runs = 0;
  for (int free = fewOpenFiles; free >= 8; --free) {
    LimitedRun run = {at({"dst" + std::to_string(free)}), at({"src"}), free};
    std::string output;
    int status = runBodyInChild(runWithFortyOpenFiles, &run, &output);
    if (status == 97) continue;  // this process holds more than that open already
    ++runs;
    ASSERT_EQ(0, status) << free << " descriptors free:\n" << output;
    expectMirror(run.destination, at({"src"}));
  }
  // The counts above what the test process leaves free cannot be tried.
  EXPECT_GE(runs, 8);
}

TEST_F(OutputAndFiles, ClosedOutputStopsTheRunAsCtrlCDoes) {
  if (platformIsWindows) GTEST_SKIP() << "the program is started in the background on POSIX only";
  // Far more -v lines than a pipe holds: the run is still copying when the reader
  // leaves.
  const std::string name = "a-name-long-enough-to-fill-the-pipe-soon-";
  for (int i = 0; i < 1000; ++i)
    writeFile(at({"src", name + std::to_string(i) + ".txt"}), std::to_string(i), sourceUnits);
  writeFile(at({"dst", "stale.txt"}), "only in the destination", olderUnits);
  RunningProgram program;
  ASSERT_TRUE(startProgram({at({"dst"}), at({"src"}), "-v"}, scratch, &program));
  std::string seen;
  ASSERT_TRUE(closeProgramOutput(&program, 200, &seen)) << seen;
  // Not ended by SIGPIPE (which would give 141), but stopped as on Ctrl-C.
  EXPECT_EQ(130, waitProgram(&program, nullptr));
  TreeState wanted = captureTree(at({"src"}));
  TreeState copied = captureTree(at({"dst"}));
  // The deletions never came; every copy there is whole, none left half written.
  EXPECT_EQ(1u, copied.count("stale.txt"));
  copied.erase("stale.txt");
  EXPECT_LT(copied.size(), wanted.size());
  for (const auto& entry : copied) {
    auto twin = wanted.find(entry.first);
    ASSERT_TRUE(twin != wanted.end()) << "left behind: " << entry.first;
    EXPECT_TRUE(twin->second == entry.second) << entry.first;
  }
  // The next run completes the mirror.
  std::string output;
  EXPECT_EQ(0, run({at({"dst"}), at({"src"})}, &output)) << output;
  expectMirror(at({"dst"}), at({"src"}));
}
}  // namespace
