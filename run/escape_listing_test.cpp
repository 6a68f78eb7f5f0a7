// ESC pressed while a large folder is being listed, or after both listings ended but
// before the first change: the run stops and changes nothing. The keys are typed on a
// real pseudo-terminal by the run itself, at the listing's own looks at the keyboard.
#include <gtest/gtest.h>

#include <string>

#include "run/end_to_end_fixture.h"
#include "scan/tree_walker.h"

namespace {
const std::string stopMessage = "Listing stopped: nothing was changed !";
// Files of the large source folder: several looks at the keyboard inside its listing.
constexpr int largeFolderFiles = 4 * keyPollEntries + 10;

// What the child process's hooks see; a fork copies it, so each child has its own.
// (Which walker reads the key is the threads' affair; the walker's own tests show
// that a listing reads it.)
int keyPollsSeen = 0;
bool escapeTyped = false;

void typeEscapeAtFirstPoll(void*) {
  if (++keyPollsSeen == 1) escapeTyped = typeOnTerminal("\x1b");
}

void typeEscapeOnce(void*) {
  escapeTyped = typeOnTerminal("\x1b");
}

class EscapeDuringListing : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (platformIsWindows) GTEST_SKIP() << "no fork or pseudo-terminal here";
    destination = at({"dst"});
    source = at({"src"});
    // One folder of the destination, listed at its only visit; the source's one
    // large folder is the last visit of its walk, so no later visit can read the key.
    writeFile(at({"dst", "stale.txt"}), "only in the destination", olderUnits);
    ASSERT_TRUE(makeFolders(source));
    for (int i = 0; i < largeFolderFiles; ++i)
      ASSERT_TRUE(makeEntryIn(source, "f" + std::to_string(i), false)) << i;
  }
  void TearDown() override { EndToEndTest::TearDown(); }
  // The run in a child on a terminal; it reports the hook's findings after its lines.
  static int runBody(void* context) {
    EscapeDuringListing* test = static_cast<EscapeDuringListing*>(context);
    std::string program = "talven";
    char* argv[] = {&program[0], &test->destination[0], &test->source[0], nullptr};
    RunSeams seams = noRunSeams;
    seams.scansEnded = test->scansEnded;
    seams.scan.keyPolled = test->keyPolled;
    int status = runTalvenWith(3, argv, &seams);
    printf("polls %d typed %d\n", keyPollsSeen, escapeTyped ? 1 : 0);
    return status;
  }
  int runOnTerminal(std::string* output, bool* restored) {
    return runInChild(runBody, this, true, output, restored);
  }
  std::string destination;
  std::string source;
  void (*scansEnded)(void*) = nullptr;
  void (*keyPolled)(void*) = nullptr;
};

TEST_F(EscapeDuringListing, AnEscapeTypedDuringOneLargeListingStopsTheRun) {
  TreeState destinationBefore = captureTree(destination);
  keyPolled = typeEscapeAtFirstPoll;
  std::string output;
  bool restored = false;
  int status = runOnTerminal(&output, &restored);
  if (status < 0) GTEST_SKIP() << "no fork or pseudo-terminal here";
  EXPECT_EQ(2, status) << output;
  EXPECT_NE(std::string::npos, output.find(stopMessage + "\n")) << output;
  EXPECT_NE(std::string::npos, output.find("typed 1\n")) << output;
  EXPECT_TRUE(restored);
  expectUnchanged(destinationBefore, destination);
  EXPECT_EQ(static_cast<size_t>(largeFolderFiles), listFiles(source).size());
}

TEST_F(EscapeDuringListing, AnEscapeTypedAfterBothListingsStopsTheRun) {
  TreeState destinationBefore = captureTree(destination);
  scansEnded = typeEscapeOnce;
  std::string output;
  bool restored = false;
  int status = runOnTerminal(&output, &restored);
  if (status < 0) GTEST_SKIP() << "no fork or pseudo-terminal here";
  EXPECT_EQ(2, status) << output;
  EXPECT_NE(std::string::npos, output.find(stopMessage + "\n")) << output;
  EXPECT_NE(std::string::npos, output.find("typed 1\n")) << output;
  EXPECT_TRUE(restored);
  expectUnchanged(destinationBefore, destination);
}

TEST_F(EscapeDuringListing, OtherKeysDuringTheListingStopNothing) {
  // A cursor key typed at the same moment is read whole and dropped.
  keyPolled = [](void*) {
    if (++keyPollsSeen == 1) escapeTyped = typeOnTerminal("\x1b[Ax");
  };
  std::string output;
  bool restored = false;
  int status = runOnTerminal(&output, &restored);
  if (status < 0) GTEST_SKIP() << "no fork or pseudo-terminal here";
  EXPECT_EQ(0, status) << output;
  EXPECT_EQ(std::string::npos, output.find(stopMessage)) << output;
  EXPECT_NE(std::string::npos, output.find("typed 1\n")) << output;
  EXPECT_TRUE(restored);
  EXPECT_EQ(static_cast<size_t>(largeFolderFiles), listFiles(destination).size());
}
}  // namespace
