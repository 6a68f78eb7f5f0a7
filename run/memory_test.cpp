// Memory running out ends a run the documented way, wherever it runs out: the
// message, exit status 3, no partial file left, and a later run mirrors exactly.
#include "base/memory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TALVEN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TALVEN_SANITIZED 1
#endif
#endif

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace {
class MemoryRunsOut : public InProcessMirrorTest {
 protected:
  void TearDown() override {
    setInterruptRequested(0);
    InProcessMirrorTest::TearDown();
  }
  void makeTrees() {
    for (int folder = 0; folder < 4; ++folder)
      for (int file = 0; file < 8; ++file)
        writeFile(at({"src", "d" + std::to_string(folder), "f" + std::to_string(file)}),
                  patternBytes(1u << 20, static_cast<unsigned>(folder * 8 + file)), sourceUnits);
    writeFile(at({"dst", "d1", "f3"}), "older", olderUnits);
  }
  // Every destination file is whole and current, or the older one it was; no
  // partial file is left.
  void expectNothingHalfDone() {
    TreeState wanted = captureTree(source);
    for (const auto& entry : captureTree(destination)) {
      EXPECT_EQ(std::string::npos, entry.first.find(".talven-partial")) << entry.first;
      if (entry.second.bytes == "older") continue;
      auto twin = wanted.find(entry.first);
      ASSERT_TRUE(twin != wanted.end()) << entry.first;
      EXPECT_TRUE(twin->second == entry.second) << entry.first;
    }
  }
  // A run in a process of its own whose address space may grow headroom bytes beyond
  // its start: it ends one of the allowed ways and leaves nothing half done. Its status.
  int runUnderLimit(long long headroom);
};

int blocks;
void runOutAtTheTenthBlock(void*, long long) {
  if (++blocks == 10) onMemoryExhausted();
}

// As an allocation that finds no memory on a worker, in the middle of a copy.
TEST_F(MemoryRunsOut, InTheMiddleOfACopyTheRunEndsInOrder) {
  makeTrees();
  for (const char* workers : {"--workers=1", "--workers=4"}) {
    SCOPED_TRACE(workers);
    removeFolderTree(destination);
    writeFile(at({"dst", "d1", "f3"}), "older", olderUnits);
    blocks = 0;
    seams.copy.blockDone = runOutAtTheTenthBlock;
    std::string output;
    EXPECT_EQ(exitOutOfMemory, runHere({workers}, &output)) << output;
    EXPECT_TRUE(memoryRanOut());
    size_t message = output.find("Memory allocation failure !\n");
    EXPECT_NE(std::string::npos, message) << output;
    EXPECT_EQ(std::string::npos, output.find("Memory allocation failure", message + 1)) << output;
    expectNothingHalfDone();
    seams.copy.blockDone = nullptr;
    setInterruptRequested(0);
    EXPECT_EQ(exitSuccess, runHere({workers}, &output)) << output;
    EXPECT_FALSE(memoryRanOut());
    expectMirror(destination, source);
  }
}

#if !defined(_WIN32) && !defined(TALVEN_SANITIZED)
// The run with its address space limited a little beyond its start: the headroom in
// bytes, then the destination and the source. It runs in a process started afresh,
// since the stacks and memory arenas that the threads of earlier tests left in this
// one would serve its threads beyond any headroom.
int runLimited(const std::vector<std::string>& arguments) {
  if (arguments.size() != 3) return 96;
  FILE* statm = fopen("/proc/self/statm", "r");
  long long pages = 0;
  if (!statm || fscanf(statm, "%lld", &pages) != 1) return 97;
  fclose(statm);
  long long used = pages * sysconf(_SC_PAGESIZE);
  long long headroom = strtoll(arguments[0].c_str(), nullptr, 10);
  struct rlimit limit = {static_cast<rlim_t>(used + headroom),
                         static_cast<rlim_t>(used + headroom)};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 98;
  std::string program = "talven";
  std::string destination = arguments[1];
  std::string source = arguments[2];
  char* argv[] = {&program[0], &destination[0], &source[0], nullptr};
  return runTalven(3, argv);
}
const FreshBody limitedRun("limited run", runLimited);

int MemoryRunsOut::runUnderLimit(long long headroom) {
  SCOPED_TRACE(headroom);
  removeFolderTree(destination);
  std::string output;
  int status =
      runBodyInFreshProcess(limitedRun, {std::to_string(headroom), destination, source}, &output);
  EXPECT_TRUE(status == exitSuccess || status == exitSomeFailed || status == exitStopped ||
              status == exitOutOfMemory)
      << status << output;
  if (status == exitOutOfMemory) {
    EXPECT_NE(std::string::npos, output.find("Memory allocation failure !\n")) << output;
  }
  expectNothingHalfDone();
  return status;
}
#endif

// A real limit of address space: the run completes, stops before any change (no
// room for its threads), or stops with status 3 and its message, and never aborts.
// Where it meets the limit depends on the size of its threads' stacks (the stack
// limit: 8 MB by default, 2 MB where it is unlimited) and on its number of workers,
// so the limits are found from the run itself: doubled until it completes, then
// halved towards the least it completes with. Just below that, its threads fit and
// its memory does not.
TEST_F(MemoryRunsOut, UnderALimitOfAddressSpaceTheRunNeverAborts) {
#if defined(_WIN32)
  GTEST_SKIP() << "no limit of address space to set on Windows";
#elif defined(TALVEN_SANITIZED)
  GTEST_SKIP() << "the sanitizers reserve more address space than any such limit leaves";
#else
  makeTrees();
  constexpr long long precision = 64 << 10;
  long long scarce = 0;  // the most headroom tried that the run did not complete with
  long long enough = 0;  // the least headroom tried that it completed with
  int scarceStatus = -1;
  auto tryHeadroom = [&](long long headroom) {
    int status = runUnderLimit(headroom);
    if (status == exitSuccess) {
      enough = headroom;
    } else {
      scarce = headroom;
      scarceStatus = status;
    }
  };
  for (long long headroom = precision; enough == 0 && !HasFatalFailure(); headroom *= 2) {
    ASSERT_LT(headroom, 1LL << 32) << "the run did not complete under any limit";
    tryHeadroom(headroom);
  }
  if (HasFatalFailure()) return;
  ASSERT_GT(scarce, 0) << "no limit was low enough to make the run meet it";
  while (enough - scarce > precision && !HasFatalFailure())
    tryHeadroom((scarce + enough) / 2 / 4096 * 4096);
  EXPECT_EQ(exitOutOfMemory, scarceStatus)
      << "with " << scarce << " bytes of headroom, less than " << precision
      << " below what it completes with, the run did not run out of memory";
#endif
}
}  // namespace
