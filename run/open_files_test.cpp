// A process allowed few open files: the copies go on down to the documented floor,
// whatever the workers asked for, and below it the run stops before any change and
// says why, instead of failing every copy with a reason that is not the real one.
#include <gtest/gtest.h>

#include <string>

#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define TALVEN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALVEN_ADDRESS_SANITIZER 1
#endif
#endif

namespace {
struct FewFilesRun {
  std::string destination;
  std::string source;
  int free;  ///< files the process may still open, as ulimit -n free + 3 leaves them
};

// In a child: a run with -v and four workers asked for, that may open free files more.
int runWithFewFiles(void* context) {
  FewFilesRun* run = static_cast<FewFilesRun*>(context);
  constexpr int limit = 64;
  if (!limitOpenFiles(limit) || !leaveOpenFilesFree(limit, run->free)) return 98;
  std::string program = "talven", verbose = "-v", workers = "--workers=4";
  char* argv[] = {&program[0], &run->destination[0], &run->source[0],
                  &verbose[0], &workers[0],          nullptr};
  return runTalvenWith(5, argv, nullptr);
}

class FewOpenFiles : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (platformIsWindows) GTEST_SKIP() << "the limit of open files is a POSIX matter";
#if defined(TALVEN_ADDRESS_SANITIZER)
    // Its type checks open a pipe to learn whether memory may be read: with a few
    // files free they fail, and report sound objects as wrong ones.
    GTEST_SKIP() << "the sanitizers' own checks need files of their own";
#endif
    // Folders within folders: every level is a folder held on the way down.
    for (int i = 0; i < 600; ++i) {
      std::string folder = "d" + std::to_string(i % 6);
      writeFile(at({"src", folder, "e" + std::to_string(i % 4), "f" + std::to_string(i)}),
                "file " + std::to_string(i), sourceUnits);
    }
    writeFile(at({"dst", "d1", "e1", "f1"}), "older", olderUnits);
  }
};

TEST_F(FewOpenFiles, CopiesGoOnDownToTheFloor) {
  FewFilesRun run = {at({"dst"}), at({"src"}), 13};
  std::string output;
  ASSERT_EQ(exitSuccess, runBodyInChild(runWithFewFiles, &run, &output)) << output;
  expectMirror(at({"dst"}), at({"src"}));
}

TEST_F(FewOpenFiles, BelowTheFloorNothingChangesAndTheRunSaysWhy) {
  // Two of the six go to the roots the run holds from its start: four are left for
  // the listings and the copies, one fewer than these need.
  FewFilesRun run = {at({"dst"}), at({"src"}), 6};
  TreeState before = captureTree(at({"dst"}));
  std::string output;
  ASSERT_EQ(exitStopped, runBodyInChild(runWithFewFiles, &run, &output)) << output;
  size_t line = output.find("Too few files may be open at once (");
  ASSERT_NE(std::string::npos, line) << output;
  EXPECT_NE(std::string::npos,
            output.find(" free, at least 5 needed): raise the limit (ulimit -n) !\n", line))
      << output;
  EXPECT_EQ(std::string::npos, output.find("Newer file found")) << output;
  expectUnchanged(before, at({"dst"}));
}
}  // namespace
