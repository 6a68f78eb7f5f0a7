// Runs short of what the process is given: few open files, and a standard output
// whose reader leaves early (talven ... -v | head).
#include <gtest/gtest.h>

#include <string>

#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"

namespace {
using OutputAndFiles = EndToEndTest;

struct LimitedRun {
  std::string destination;
  std::string source;
};

// In a child that may hold only 40 files open, as under `ulimit -n 40`.
int runWithFortyOpenFiles(void* context) {
  LimitedRun* run = static_cast<LimitedRun*>(context);
  if (!limitOpenFiles(40)) return 98;
  resetRunSettings();
  std::string program = "talven";
  char* argv[] = {&program[0], &run->destination[0], &run->source[0], nullptr};
  return runTalven(3, argv);
}

TEST_F(OutputAndFiles, FewOpenFilesNeverFailACopy) {
  if (platformIsWindows) GTEST_SKIP() << "the limit of open files is a POSIX matter";
  for (int i = 0; i < 300; ++i)
    writeFile(at({"src", "f" + std::to_string(i) + ".txt"}), "file " + std::to_string(i),
              sourceUnits);
  LimitedRun run = {at({"dst"}), at({"src"})};
  std::string output;
  ASSERT_EQ(0, runBodyInChild(runWithFortyOpenFiles, &run, &output)) << output;
  expectMirror(at({"dst"}), at({"src"}));
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
