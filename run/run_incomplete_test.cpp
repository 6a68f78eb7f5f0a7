// Runs whose listing misses something, and runs whose log cannot be opened.
#include <gtest/gtest.h>

#include "base/settings.h"
#include "platform/platform.h"
#include "run/run_fixture.h"

namespace {
// Makes below folder a chain of long folder names ending pathBufferSize - 150 bytes
// from the start of the path, and returns it; empty where it cannot be made.
std::string deepFolder(const std::string& folder) {
  const int levels = 16;
  int each = (pathBufferSize - 150 - static_cast<int>(folder.size())) / levels - 1;
  if (each <= 0 || each > 255) return std::string();
  std::string deep = folder;
  for (int i = 0; i < levels; ++i) deep = joinPath(deep, std::string(each, 'a' + i));
  return makeFolders(deep) ? deep : std::string();
}

TEST_F(RunTest, ASourceEntryTooLongToNameDeletesNothing) {
  if (!makeEntryIn(source, "probe", false)) GTEST_SKIP() << "cannot make such entries here";
  std::string deep = deepFolder(source);
  ASSERT_FALSE(deep.empty());
  std::string tooLong(250, 'z');
  ASSERT_TRUE(makeEntryIn(deep, tooLong, false));
  std::map<std::string, std::string> destinationBefore = snapshot(destination);
  int status = run({destination, source, "-v"});
  // Removed before anything is checked, as removeScratchFolder cannot name it.
  EXPECT_TRUE(removeEntryIn(deep, tooLong));
  // The source listing lacks a file, so the destination's own files must all stay.
  EXPECT_EQ(exitSomeFailed, status) << output;
  for (const auto& file : destinationBefore)
    EXPECT_TRUE(pathExists(joinPath(destination, file.first))) << file.first << "\n" << output;
  bool toldSkipped = false;
  for (const std::string& line : lines())
    toldSkipped =
        toldSkipped || (line.find("Skipped [") == 0 && line.find(tooLong) != std::string::npos);
  EXPECT_TRUE(toldSkipped) << output;
}

TEST_F(RunTest, ALogThatCannotBeOpenedLeavesTheMirrorAndItsOutput) {
  // A folder where the log file would be: it cannot be opened for appending.
  ASSERT_TRUE(makeFolders(joinPath(scratch, ".mirror_log")));
  ASSERT_EQ(0, run({joinPath(scratch, "plain"), source})) << output;
  size_t plainLines = lines().size();
  // The run goes on without its log, but is no success (standard error says why).
  ASSERT_EQ(1, run({joinPath(scratch, "logged"), source, "-l"})) << output;
  // The same lines on standard output as the same run without -l.
  EXPECT_EQ(plainLines, lines().size()) << output;
  EXPECT_EQ(snapshot(joinPath(scratch, "plain")), snapshot(joinPath(scratch, "logged")));
  EXPECT_TRUE(listFiles(joinPath(scratch, ".mirror_log")).empty());
}
}  // namespace
