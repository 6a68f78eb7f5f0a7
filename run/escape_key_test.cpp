// The Escape key on a real terminal: it stops a listing, a cursor key does not, and
// the terminal gets its own mode back.
#include <gtest/gtest.h>

#include "run/run_fixture.h"

namespace {
const std::string stopMessage = "Listing stopped: nothing was changed !";

class EscapeKeyTest : public RunTest {
 protected:
  // Runs on a terminal with keys typed before the start; returns the exit status.
  int runTyped(const std::string& keys, bool* restored) {
    if (platformIsWindows) return -1;
    return runProgramOnTerminal({destination, source}, scratch, keys, &output, restored);
  }
};

TEST_F(EscapeKeyTest, AWaitingEscapeStopsTheListing) {
  std::map<std::string, std::string> sourceBefore = snapshot(source);
  std::map<std::string, std::string> destinationBefore = snapshot(destination);
  bool restored = false;
  int status = runTyped("\x1b", &restored);
  if (status < 0) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(2, status) << output;
  EXPECT_TRUE(printed(stopMessage)) << output;
  EXPECT_TRUE(restored);
  EXPECT_EQ(sourceBefore, snapshot(source));
  EXPECT_EQ(destinationBefore, snapshot(destination));
}

TEST_F(EscapeKeyTest, ACursorKeySequenceStopsNothing) {
  std::map<std::string, std::string> sourceBefore = snapshot(source);
  bool restored = false;
  int status = runTyped("\x1b[A", &restored);
  if (status < 0) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(0, status) << output;
  EXPECT_FALSE(printed(stopMessage)) << output;
  EXPECT_TRUE(restored);
  EXPECT_EQ(sourceBefore, snapshot(source));
  // Function keys send ESC O x on some terminals.
  status = runTyped("\x1bOP", &restored);
  EXPECT_EQ(0, status) << output;
  EXPECT_TRUE(restored);
}

TEST_F(EscapeKeyTest, OtherKeysAreDroppedAndStopNothing) {
  bool restored = false;
  int status = runTyped("xq", &restored);
  if (status < 0) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(0, status) << output;
  EXPECT_FALSE(printed(stopMessage)) << output;
  EXPECT_TRUE(restored);
  status = runTyped("", &restored);
  EXPECT_EQ(0, status) << output;
  EXPECT_TRUE(restored);
}
TEST_F(EscapeKeyTest, EscapePressedTwiceStillStops) {
  // Pressed again while the program was busy: both wait, and they must not pass
  // together for the sequence of some other key.
  bool restored = false;
  int status = runTyped("\x1b\x1b", &restored);
  if (status < 0) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(2, status) << output;
  EXPECT_TRUE(printed(stopMessage)) << output;
  EXPECT_TRUE(restored);
}

TEST_F(EscapeKeyTest, ARunInTheBackgroundLeavesTheTerminalAlone) {
  // Started with '&' from a shell: the terminal belongs to the foreground job, so the
  // run must neither touch its mode (which would stop the run) nor read its keys.
  std::map<std::string, std::string> sourceBefore = snapshot(source);
  bool restored = false;
  int status = platformIsWindows ? -1
                                 : runProgramInTerminalBackground({destination, source}, scratch,
                                                                  "\x1b", &output, &restored);
  if (status < 0) GTEST_SKIP() << "no pseudo-terminal here";
  ASSERT_NE(programStoppedByTerminal, status) << "the terminal stopped the run: " << output;
  EXPECT_EQ(0, status) << output;
  EXPECT_FALSE(printed(stopMessage)) << output;
  EXPECT_TRUE(restored);
  EXPECT_EQ(sourceBefore, snapshot(source));
}
}  // namespace
