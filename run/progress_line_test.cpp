// The progress line in a real terminal (tmux): drawn while the trees are listed and
// copied, never inside a console line, erased at the end, at most ten times a
// second; and nothing of it where standard error is no terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_support.h"

namespace {
constexpr int sourceFiles = 3000;
constexpr const char* listingText = "Listing: ";
constexpr const char* copyingText = "Copying: ";
// The summary of a first mirror of the source below into an empty destination.
constexpr const char* firstMirrorSummary =
    "Done: 3,001 copied, 0 updated (9.0 MiB), 0 deleted, 0 newer in the destination kept, "
    "0 failed, in ";

std::string shellQuoted(const std::string& text) {
  return "'" + text + "'";
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ProgressLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platformIsWindows) GTEST_SKIP() << "tmux is a POSIX terminal";
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    source = joinPath(scratch, "src");
    // A few thousand small files in 30 folders, and one large enough that the copy
    // pass lasts several redraws.
    for (int i = 0; i < sourceFiles; ++i)
      ASSERT_TRUE(writeFileBytes(
          joinPath(joinPath(source, "d" + std::to_string(i % 30)), "f" + std::to_string(i)),
          std::string(static_cast<size_t>(i % 700), 'x')));
    ASSERT_TRUE(writeFileBytes(joinPath(source, "large.bin"), std::string(8 << 20, 'L')));
    socket = joinPath(scratch, "tmux.sock");
    ASSERT_TRUE(writeFileBytes(joinPath(scratch, "tmux.conf"), "set -g history-limit 50000\n"));
  }
  void TearDown() override {
    if (scratch.empty()) return;
    std::system(("tmux -S " + shellQuoted(socket) + " kill-server >/dev/null 2>&1").c_str());
    removeScratchFolder(scratch);
  }

  std::string tmux(const std::string& command) {
    return "tmux -S " + shellQuoted(socket) + " -f " + shellQuoted(joinPath(scratch, "tmux.conf")) +
           " " + command;
  }

  /// Runs talven into destination in a tmux pane of 100 columns, with redirection
  /// appended to its command line; records every byte the pane received in raw and
  /// the screen with its history in screen. Returns the exit status, -1 on a failure
  /// of tmux itself.
  int runInTerminal(const std::string& destination, const std::string& options,
                    const std::string& redirection) {
    // A tmux server of its own for each run: one told to end a moment ago may still
    // hold the socket, and a new session on it then fails.
    socket = joinPath(scratch, "tmux" + std::to_string(++terminalRuns) + ".sock");
    std::string go = joinPath(scratch, "go");
    std::string status = joinPath(scratch, "status");
    std::string rawPath = joinPath(scratch, "raw");
    std::remove(go.c_str());
    std::remove(status.c_str());
    std::remove(rawPath.c_str());
    std::string script = "while [ ! -e " + shellQuoted(go) + " ]; do sleep 0.05; done; cd " +
                         shellQuoted(scratch) + " && " + shellQuoted(programPath()) + " " +
                         shellQuoted(destination) + " src " + options + " " + redirection +
                         "; echo \\$? > " + shellQuoted(status + ".tmp") + "; mv " +
                         shellQuoted(status + ".tmp") + " " + shellQuoted(status) + "; sleep 600";
    std::string start =
        tmux("new-session -d -s run -x 100 -y 40 " + shellQuoted("sh -c \"" + script + "\""));
    if (std::system(start.c_str()) != 0) return -1;
    if (std::system(tmux("pipe-pane -o -t run " + shellQuoted("cat > " + rawPath)).c_str()) != 0)
      return -1;
    auto started = std::chrono::steady_clock::now();
    if (!writeFileBytes(go, "")) return -1;
    std::string result;
    for (int waited = 0; !readFileBytes(status, &result) && waited < 2400; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // What the pane received reaches the pipe a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string screenPath = joinPath(scratch, "screen");
    std::system(tmux("capture-pane -p -J -S - -E - -t run > " + shellQuoted(screenPath)).c_str());
    readFileBytes(screenPath, &screen);
    readFileBytes(rawPath, &raw);
    std::system(tmux("kill-server >/dev/null 2>&1").c_str());
    return result.empty() ? -1 : std::atoi(result.c_str());
  }

  /// Runs talven into destination with standard output and standard error in
  /// files; returns the exit status.
  int runRedirected(const std::string& destination, const std::string& options, std::string* out,
                    std::string* err) {
    std::string outPath = joinPath(scratch, "out.txt");
    std::string errPath = joinPath(scratch, "err.txt");
    std::string statusPath = joinPath(scratch, "redirected-status");
    std::string command = "cd " + shellQuoted(scratch) + " && " + shellQuoted(programPath()) + " " +
                          shellQuoted(destination) + " src " + options + " > " +
                          shellQuoted(outPath) + " 2> " + shellQuoted(errPath) +
                          " < /dev/null; echo $? > " + shellQuoted(statusPath);
    std::string status;
    if (std::system(command.c_str()) != 0 || !readFileBytes(statusPath, &status)) return -1;
    readFileBytes(outPath, out);
    readFileBytes(errPath, err);
    return std::atoi(status.c_str());
  }

  /// The lines of the same run into dst2 with nothing on a terminal, told as if
  /// into dst (no other name holds "dst2").
  std::vector<std::string> linesElsewhere(const std::string& options) {
    std::string out, err;
    EXPECT_EQ(0, runRedirected("dst2", options, &out, &err));
    EXPECT_EQ("", err);
    for (size_t at = out.find("dst2"); at != std::string::npos; at = out.find("dst2", at))
      out.replace(at, 4, "dst");
    return linesOf(out);
  }

  /// Every status line drawn was taken away before a console line and at the end,
  /// and none was drawn more often than ten times a second.
  void expectLineKeptApart() {
    EXPECT_NE(std::string::npos, raw.find(listingText)) << "no listing line was drawn";
    EXPECT_NE(std::string::npos, raw.find(copyingText)) << "no copying line was drawn";
    size_t draws = countOf(raw, std::string("\r") + listingText) +
                   countOf(raw, std::string("\r") + copyingText);
    EXPECT_LE(static_cast<double>(draws), 10 * seconds + 2) << draws << " in " << seconds << " s";
    // Drawn, then erased: the last thing of it the terminal got is the erasing.
    size_t lastDraw = raw.rfind(copyingText);
    ASSERT_NE(std::string::npos, lastDraw);
    EXPECT_NE(std::string::npos, raw.find("\r\033[K", lastDraw)) << "the line was not erased";
    for (const std::string& line : linesOf(screen)) {
      EXPECT_EQ(std::string::npos, line.find(listingText)) << line;
      EXPECT_EQ(std::string::npos, line.find(copyingText)) << line;
    }
  }

  std::string scratch, source, socket, raw, screen;
  int terminalRuns = 0;
  double seconds = 0;
};

TEST_F(ProgressLineTest, DrawnWhileListingAndCopyingThenErased) {
  int status = runInTerminal("dst", "", "");
  ASSERT_NE(-1, status) << "tmux could not run the program";
  EXPECT_EQ(0, status) << screen;
  expectLineKeptApart();
  // The same run with nothing on a terminal prints exactly the screen's lines, but
  // for the summary the progress line gave way to, which stays.
  std::vector<std::string> shown = linesOf(screen);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(0u, shown.back().find(firstMirrorSummary)) << screen;
  shown.pop_back();
  EXPECT_EQ(linesElsewhere(""), shown) << screen;
  EXPECT_EQ(listFiles(source), listFiles(joinPath(scratch, "dst")));
}

TEST_F(ProgressLineTest, DrawnUnderTheVerboseLinesNeverInsideOne) {
  int status = runInTerminal("dst", "-v", "");
  ASSERT_NE(-1, status) << "tmux could not run the program";
  EXPECT_EQ(0, status);
  expectLineKeptApart();
  // The scan threads' lines may come in either order, so the lines are compared as a
  // sorted whole.
  std::vector<std::string> expected = linesElsewhere("-v");
  std::vector<std::string> shown = linesOf(screen);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(0u, shown.back().find(firstMirrorSummary)) << screen;
  shown.pop_back();
  std::sort(expected.begin(), expected.end());
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(expected, shown);
  EXPECT_EQ(static_cast<size_t>(sourceFiles + 1), countOf(screen, "We need to copy "));
}

TEST_F(ProgressLineTest, StandardOutputInAFileKeepsItsBytes) {
  // Standard error on the terminal, standard output in a file: the file gets what a
  // run with both in files gets, and the terminal only the progress line.
  int status = runInTerminal("dst", "", "> out-terminal.txt");
  ASSERT_NE(-1, status) << "tmux could not run the program";
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, raw.find(listingText));
  std::string onTerminal;
  ASSERT_TRUE(readFileBytes(joinPath(scratch, "out-terminal.txt"), &onTerminal));
  EXPECT_EQ(std::string::npos, onTerminal.find('\r'));
  EXPECT_EQ(std::string::npos, onTerminal.find('\033'));
  EXPECT_EQ(linesElsewhere(""), linesOf(onTerminal));
  // The terminal keeps the summary alone.
  ASSERT_EQ(1u, linesOf(screen).size()) << screen;
  EXPECT_EQ(0u, linesOf(screen)[0].find(firstMirrorSummary)) << screen;
}

TEST_F(ProgressLineTest, AQuietRunShowsNothingButItsStats) {
  // -q on a terminal: no progress line, no summary, no line at all when all goes well.
  int status = runInTerminal("dst", "-q", "");
  ASSERT_NE(-1, status) << "tmux could not run the program";
  EXPECT_EQ(0, status) << screen;
  EXPECT_EQ(std::string::npos, raw.find(listingText)) << raw;
  EXPECT_EQ(std::string::npos, raw.find(copyingText)) << raw;
  EXPECT_TRUE(linesOf(screen).empty()) << screen;
  EXPECT_EQ(listFiles(source), listFiles(joinPath(scratch, "dst")));
  // With --stats, the summary alone, once.
  status = runInTerminal("dst2", "-q --stats", "");
  EXPECT_EQ(0, status) << screen;
  EXPECT_EQ(std::string::npos, raw.find(listingText)) << raw;
  ASSERT_EQ(1u, linesOf(screen).size()) << screen;
  EXPECT_EQ(0u, linesOf(screen)[0].find(firstMirrorSummary)) << screen;
}

TEST_F(ProgressLineTest, NothingOnStandardErrorWhenItIsNoTerminal) {
  std::string out, err;
  EXPECT_EQ(0, runRedirected("dst", "-v", &out, &err));
  EXPECT_EQ("", err);
  EXPECT_EQ(std::string::npos, out.find('\r'));
  EXPECT_EQ(std::string::npos, out.find('\033'));
  EXPECT_EQ(static_cast<size_t>(sourceFiles + 1), countOf(out, "We need to copy "));
  // And into a pipe: the test's own runner reads standard output through one.
  std::string piped;
  EXPECT_EQ(0, runProgram({"dst3", "src"}, scratch, &piped));
  EXPECT_EQ(std::string::npos, piped.find(listingText));
  EXPECT_EQ(std::string::npos, piped.find('\033'));
}
TEST_F(ProgressLineTest, TheSummaryCountsWhatWasDoneAndKept) {
  // A destination with a file the source lacks, an older twin and a newer one.
  std::string destination = joinPath(scratch, "dst");
  ASSERT_TRUE(writeFileBytes(joinPath(destination, "stale.txt"), "stale"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "d1"), "f1"), "older"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "d2"), "f2"), "newer"));
  // 2012 and 2100, as file times.
  const int64_t older = 130000000000000000LL, newer = 157469184000000000LL;
  // The file to delete is older than the source's files: a newer one would be asked
  // about first.
  ASSERT_EQ(
      0, setFileTimes(joinPath(destination, "stale.txt").c_str(),
                      FileTime{static_cast<uint32_t>(older), static_cast<uint32_t>(older >> 32)}));
  ASSERT_EQ(
      0, setFileTimes(joinPath(joinPath(destination, "d1"), "f1").c_str(),
                      FileTime{static_cast<uint32_t>(older), static_cast<uint32_t>(older >> 32)}));
  ASSERT_EQ(
      0, setFileTimes(joinPath(joinPath(destination, "d2"), "f2").c_str(),
                      FileTime{static_cast<uint32_t>(newer), static_cast<uint32_t>(newer >> 32)}));
  int status = runInTerminal("dst", "-p", "");
  ASSERT_NE(-1, status) << "tmux could not run the program";
  EXPECT_EQ(0, status) << screen;
  std::vector<std::string> shown = linesOf(screen);
  ASSERT_FALSE(shown.empty());
  // With -p it tells what a run would do, counting what the run would copy.
  EXPECT_EQ(0u, shown.back().find("Preview: 2,999 to copy, 1 to update (9.0 MiB), 1 to delete, "
                                  "1 newer in the destination kept, 0 failed, in "))
      << screen;
  status = runInTerminal("dst", "", "");
  EXPECT_EQ(0, status) << screen;
  shown = linesOf(screen);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(0u, shown.back().find("Done: 2,999 copied, 1 updated (9.0 MiB), 1 deleted, 1 newer "
                                  "in the destination kept, 0 failed, in "))
      << screen;
  // Once the trees agree: nothing done, and the newer twin kept again.
  status = runInTerminal("dst", "", "");
  EXPECT_EQ(0, status) << screen;
  shown = linesOf(screen);
  ASSERT_GE(shown.size(), 2u) << screen;
  EXPECT_EQ("Nothing to do, folders are equal !", shown[shown.size() - 2]);
  EXPECT_EQ(0u, shown.back().find("Done: 0 copied, 0 updated (0 B), 0 deleted, 1 newer in the "
                                  "destination kept, 0 failed, in "))
      << screen;
}

TEST_F(ProgressLineTest, StatsPrintTheSummaryOnStandardOutputOnce) {
  // Both on the terminal: the line once, from standard output.
  int status = runInTerminal("dst", "--stats", "");
  ASSERT_NE(-1, status) << "tmux could not run the program";
  EXPECT_EQ(0, status) << screen;
  EXPECT_EQ(1u, countOf(screen, "Done: ")) << screen;
  EXPECT_EQ(0u, linesOf(screen).back().find(firstMirrorSummary)) << screen;
  // Standard output in a file: the file ends in the line, and the terminal has it too.
  status = runInTerminal("dst2", "--stats", "> out-stats.txt");
  EXPECT_EQ(0, status) << screen;
  std::string onFile;
  ASSERT_TRUE(readFileBytes(joinPath(scratch, "out-stats.txt"), &onFile));
  ASSERT_FALSE(linesOf(onFile).empty());
  EXPECT_EQ(0u, linesOf(onFile).back().find(firstMirrorSummary)) << onFile;
  ASSERT_EQ(1u, linesOf(screen).size()) << screen;
  EXPECT_EQ(0u, linesOf(screen)[0].find(firstMirrorSummary)) << screen;
}
}  // namespace
