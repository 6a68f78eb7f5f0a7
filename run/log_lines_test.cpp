// The log's lines: each reaches the file whole, in one append, before its action is
// tried, so that concurrent runs never split one and a killed run loses none; names
// with control characters cannot make lines that read as other actions.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/crash_support.h"
#include "reconcile/reconcile.h"
#include "run/end_to_end_fixture.h"

namespace {
using LogLines = EndToEndTest;

const char* const posixNames = "only POSIX names hold control characters";

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// True when line is one whole "Got <path>\t<size>" line of a file named stem...
bool isWholeCopyLine(const std::string& line, const std::string& stem) {
  std::string start = std::string("Got ") + pathSeparator + stem;
  size_t tab = line.find('\t');
  if (line.compare(0, start.size(), start) != 0 || tab == std::string::npos) return false;
  if (line.compare(tab - 4, 4, ".txt") != 0 || tab + 1 == line.size()) return false;
  return line.find_first_not_of("0123456789", tab + 1) == std::string::npos;
}

TEST_F(LogLines, ControlCharactersInNamesAreEscaped) {
  if (platformIsWindows) GTEST_SKIP() << posixNames;
  const std::string names[] = {"line\nDeleted /all.txt", "tab\there", std::string("bell\x07\x7f")};
  for (const std::string& name : names) writeFile(at({"src", name}), "x", sourceUnits);
  writeFile(at({"src", "plain name.txt"}), "plain", sourceUnits);
  std::string output;
  ASSERT_EQ(0, run({at({"dst"}), at({"src"}), "-l"}, &output)) << output;
  expectMirror(at({"dst"}), at({"src"}));
  std::string log;
  ASSERT_TRUE(readFileBytes(at({".mirror_log"}), &log));
  std::vector<std::string> lines = splitLines(log);
  auto holds = [&lines](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(holds("Got /line\\x0aDeleted /all.txt\t1")) << log;
  EXPECT_TRUE(holds("Got /tab\\x09here\t1")) << log;
  EXPECT_TRUE(holds("Got /bell\\x07\\x7f\t1")) << log;
  EXPECT_TRUE(holds("Got /plain name.txt\t5")) << log;
  // No line of the log reads as a deletion.
  for (const std::string& line : lines) EXPECT_NE(0u, line.find("Deleted")) << line;
}

TEST_F(LogLines, ConcurrentRunsNeverSplitALine) {
  if (platformIsWindows) GTEST_SKIP() << "two runs at once are started on POSIX only";
  const int files = 800;
  const std::string name = "a-longer-name-so-that-lines-cross-buffer-ends-";
  const std::string trees[] = {"a", "b"};
  for (const std::string& tree : trees)
    for (int i = 0; i < files; ++i)
      writeFile(at({"src-" + tree, tree + name + std::to_string(i) + ".txt"}),
                std::string(static_cast<size_t>(i % 7), 'x'), sourceUnits);
  RunningProgram first;
  RunningProgram second;
  ASSERT_TRUE(startProgram({at({"dst-a"}), at({"src-a"}), "-l", "--no-sync"}, scratch, &first));
  ASSERT_TRUE(startProgram({at({"dst-b"}), at({"src-b"}), "-l", "--no-sync"}, scratch, &second));
  std::string output;
  EXPECT_EQ(0, waitProgram(&first, &output)) << output;
  EXPECT_EQ(0, waitProgram(&second, &output)) << output;
  std::string log;
  ASSERT_TRUE(readFileBytes(at({".mirror_log"}), &log));
  int copies[2] = {0, 0};
  int broken = 0;
  for (const std::string& line : splitLines(log)) {
    if (line.empty() || line == "TALVEN 0.61 by the Talven developers - LOG section") continue;
    if (isWholeCopyLine(line, "a" + name))
      ++copies[0];
    else if (isWholeCopyLine(line, "b" + name))
      ++copies[1];
    else if (++broken <= 3)
      ADD_FAILURE() << "broken line: " << line;
  }
  EXPECT_EQ(0, broken);
  EXPECT_EQ(files, copies[0]);
  EXPECT_EQ(files, copies[1]);
}

struct KilledRun {
  std::string folder;
  std::string destination;
  std::string source;
};

// After the tenth deletion was tried, the process ends as SIGKILL ends it.
void killAtTenthDeletion(void*, long long tried) {
  if (tried == 10) killCallingProcess();
}

int runUntilKilled(void* context) {
  KilledRun* run = static_cast<KilledRun*>(context);
  std::error_code failed;
  std::filesystem::current_path(run->folder, failed);
  if (failed) return 98;
  RunSeams seams = noRunSeams;
  seams.reconcile.deletionTried = killAtTenthDeletion;
  std::string program = "talven";
  std::string log = "-l";
  char* argv[] = {&program[0], &run->destination[0], &run->source[0], &log[0], nullptr};
  return runTalvenWith(4, argv, &seams);
}

TEST_F(LogLines, KilledRunKeepsTheLineOfEveryDeletionTried) {
  if (platformIsWindows) GTEST_SKIP() << "SIGKILL is a POSIX matter";
  writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
  for (int i = 0; i < 40; ++i)
    writeFile(at({"dst", "stale" + std::to_string(i) + ".txt"}), "stale", olderUnits);
  KilledRun run = {scratch, at({"dst"}), at({"src"})};
  std::string output;
  ASSERT_EQ(-1, runBodyInChild(runUntilKilled, &run, &output)) << "the run was not killed";
  std::string log;
  ASSERT_TRUE(readFileBytes(at({".mirror_log"}), &log));
  int logged = 0;
  for (const std::string& line : splitLines(log)) {
    if (line.compare(0, 9, "Deleted /") != 0) continue;
    ++logged;
    // Every deletion logged was tried, and done.
    EXPECT_FALSE(pathExists(at({"dst", line.substr(9)}))) << line;
  }
  EXPECT_EQ(10, logged) << log;
  EXPECT_EQ(1u + 30u, listFiles(at({"dst"})).size());
}
}  // namespace
