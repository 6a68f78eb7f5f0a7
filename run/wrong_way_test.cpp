// Folders typed the wrong way round, in a real terminal (tmux): a run that would
// delete files newer than every file of the source asks the person at the terminal
// first and changes nothing unless answered yes; --yes answers for the person; -p
// and --backup-dir, which lose nothing, never ask, nor does an ordinary mirror; and
// with no person at the terminal the run goes on as it always did.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "run/end_to_end_fixture.h"

namespace {
// The person's folder of work and an older copy of it, which talven docs backup (the
// order of cp and rsync) takes for the destination and the source.
constexpr int64_t dayUnits = 864000000000LL;
const std::string question =
    "The run would delete 2 files newer than every file of the source, the newest "
    "[docs" +
    std::string(1, pathSeparator) +
    "report-final.docx]; the folder to update comes first: this makes [docs] a mirror "
    "of [backup]. Delete them? [y/N]";
const std::string notConfirmed = "The deletions were not confirmed: nothing was changed !";

std::string shellQuoted(const std::string& text) {
  return "'" + text + "'";
}

class WrongWayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platformIsWindows) GTEST_SKIP() << "tmux is a POSIX terminal";
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    docs = joinPath(scratch, "docs");
    backup = joinPath(scratch, "backup");
    ASSERT_TRUE(writeFileBytes(joinPath(scratch, "tmux.conf"), "set -g history-limit 5000\n"));
    makeTrees();
  }
  void TearDown() override {
    if (!scratch.empty()) removeScratchFolder(scratch);
  }

  void writeFile(const std::string& path, const std::string& bytes, int64_t units) {
    ASSERT_TRUE(writeFileBytes(path, bytes)) << path;
    ASSERT_EQ(0, setFileTimes(path.c_str(), fileTimeOf(units))) << path;
  }
  // docs: today's report and plan, and a file as old as the backup's; backup: the
  // old copy, with a file docs no longer has.
  void makeTrees() {
    removeFolderTree(docs);
    removeFolderTree(backup);
    writeFile(joinPath(docs, "a.txt"), "a", olderUnits);
    writeFile(joinPath(joinPath(docs, "notes"), "plan.txt"), "plan", sourceUnits - dayUnits);
    writeFile(joinPath(docs, "report-final.docx"), "final", sourceUnits);
    writeFile(joinPath(backup, "a.txt"), "a", olderUnits);
    writeFile(joinPath(backup, "old.txt"), "old", olderUnits);
    docsBefore = captureTree(docs);
    backupBefore = captureTree(backup);
  }

  std::string tmux(const std::string& command) const {
    return "tmux -S " + shellQuoted(socket) + " -f " + shellQuoted(joinPath(scratch, "tmux.conf")) +
           " " + command;
  }
  std::string pane() {
    std::string screenPath = joinPath(scratch, "screen");
    std::remove(screenPath.c_str());
    std::system(tmux("capture-pane -p -J -t run > " + shellQuoted(screenPath)).c_str());
    std::string screen;
    readFileBytes(screenPath, &screen);
    return screen;
  }
  // Starts talven with arguments (and a shell's redirections) in a pane of a tmux
  // server of its own; false when tmux could not start it.
  bool start(const std::string& arguments) {
    socket = joinPath(scratch, "tmux" + std::to_string(++terminalRuns) + ".sock");
    status = joinPath(scratch, "status");
    std::remove(status.c_str());
    std::string go = joinPath(scratch, "go");
    std::remove(go.c_str());
    // In a file of its own, so that no shell on the way expands it. The shell stays
    // for Ctrl-C: the program's own handling of it decides.
    std::string script = "trap : INT\nwhile [ ! -e " + shellQuoted(go) +
                         " ]; do sleep 0.05; done\ncd " + shellQuoted(scratch) + " && " +
                         shellQuoted(programPath()) + " " + arguments + "\necho $? > " +
                         shellQuoted(status + ".tmp") + "\nmv " + shellQuoted(status + ".tmp") +
                         " " + shellQuoted(status) + "\nsleep 600\n";
    std::string scriptPath = joinPath(scratch, "run.sh");
    if (!writeFileBytes(scriptPath, script)) return false;
    std::string command =
        tmux("new-session -d -s run -x 250 -y 50 " + shellQuoted("sh " + scriptPath));
    return std::system(command.c_str()) == 0 && writeFileBytes(go, "");
  }
  // Waits until the pane shows text, or the run ends; true when it shows it.
  bool awaitOnPane(const std::string& text) {
    std::string ended;
    for (int waited = 0; waited < 1200; ++waited) {
      if (pane().find(text) != std::string::npos) return true;
      if (readFileBytes(status, &ended)) return pane().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void type(const std::string& keys) { std::system(tmux("send-keys -t run " + keys).c_str()); }
  // Waits for the run's end; its exit status, -1 when it did not end. The pane's
  // text is left in screen, and the server ended.
  int finish() {
    std::string result;
    for (int waited = 0; !readFileBytes(status, &result) && waited < 1200; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    screen = pane();
    std::system(tmux("kill-server >/dev/null 2>&1").c_str());
    return result.empty() ? -1 : std::atoi(result.c_str());
  }
  // The wrong-way run in the terminal, answered with keys; its exit status.
  int runAnswered(const std::string& keys) {
    if (!start("docs backup")) return -1;
    bool asked = awaitOnPane(question);
    EXPECT_TRUE(asked) << pane();
    if (asked) type(keys);
    return finish();
  }
  // A run in the terminal that must not ask; its exit status.
  int runUnasked(const std::string& arguments) {
    if (!start(arguments)) return -1;
    int result = finish();
    EXPECT_EQ(std::string::npos, screen.find("Delete them?")) << screen;
    return result;
  }
  void expectNothingChanged() {
    EXPECT_TRUE(docsBefore == captureTree(docs)) << treeDifference(docsBefore, captureTree(docs));
    EXPECT_TRUE(backupBefore == captureTree(backup));
  }
  // docs now mirrors backup: the newer files deleted, the old one copied.
  void expectMirrored() {
    EXPECT_TRUE(backupBefore == captureTree(docs))
        << treeDifference(backupBefore, captureTree(docs));
    EXPECT_TRUE(backupBefore == captureTree(backup));
  }

  std::string scratch, docs, backup, socket, status, screen;
  TreeState docsBefore, backupBefore;
  int terminalRuns = 0;
};

TEST_F(WrongWayTest, AnythingButYesStopsTheRunWithNothingChanged) {
  int result = runAnswered("n Enter");
  ASSERT_NE(-1, result) << "tmux could not run the program";
  EXPECT_EQ(2, result) << screen;
  // The question on one line, the answer typed after it, then the refusal.
  EXPECT_NE(std::string::npos, screen.find(question + " n\n" + notConfirmed + "\n")) << screen;
  expectNothingChanged();
  // Enter alone, another word, the end of the input, and Ctrl-C (which interrupts).
  EXPECT_EQ(2, runAnswered("Enter")) << screen;
  EXPECT_NE(std::string::npos, screen.find(notConfirmed)) << screen;
  EXPECT_EQ(2, runAnswered("nope Enter")) << screen;
  EXPECT_EQ(2, runAnswered("C-d")) << screen;
  EXPECT_NE(std::string::npos, screen.find(question + " \n" + notConfirmed)) << screen;
  EXPECT_EQ(130, runAnswered("C-c")) << screen;
  EXPECT_EQ(std::string::npos, screen.find(notConfirmed)) << screen;
  expectNothingChanged();
}

TEST_F(WrongWayTest, AnsweredYesTheRunGoesOn) {
  int result = runAnswered("y Enter");
  ASSERT_NE(-1, result) << "tmux could not run the program";
  EXPECT_EQ(0, result) << screen;
  EXPECT_EQ(std::string::npos, screen.find(notConfirmed)) << screen;
  expectMirrored();
  makeTrees();
  EXPECT_EQ(0, runAnswered("' YES ' Enter")) << screen;
  expectMirrored();
}

TEST_F(WrongWayTest, YesAnswersForThePerson) {
  int result = runUnasked("docs backup --yes");
  ASSERT_NE(-1, result) << "tmux could not run the program";
  EXPECT_EQ(0, result) << screen;
  expectMirrored();
}

TEST_F(WrongWayTest, NothingLostNothingAsked) {
  // A preview changes nothing.
  int result = runUnasked("docs backup -p");
  ASSERT_NE(-1, result) << "tmux could not run the program";
  EXPECT_EQ(0, result) << screen;
  expectNothingChanged();
  // The backup folder keeps what is deleted.
  EXPECT_EQ(0, runUnasked("docs backup --backup-dir=kept")) << screen;
  expectMirrored();
  std::string keptFiles;
  for (const std::string& file : listFiles(joinPath(scratch, "kept"))) keptFiles += file + " ";
  EXPECT_NE(std::string::npos, keptFiles.find("report-final.docx")) << keptFiles;
  EXPECT_NE(std::string::npos, keptFiles.find("plan.txt")) << keptFiles;
  // The right way round: what it deletes is older than the source's newest file.
  makeTrees();
  EXPECT_EQ(0, runUnasked("backup docs")) << screen;
  EXPECT_TRUE(docsBefore == captureTree(backup)) << screen;
}

TEST_F(WrongWayTest, NoPersonAtTheTerminalNoQuestion) {
  // Standard input elsewhere (a script fed by a file), or standard error (a run
  // whose messages are kept): nobody is asked, as before.
  int result = runUnasked("docs backup < /dev/null");
  ASSERT_NE(-1, result) << "tmux could not run the program";
  EXPECT_EQ(0, result) << screen;
  expectMirrored();
  makeTrees();
  EXPECT_EQ(0, runUnasked("docs backup 2> errors.txt")) << screen;
  expectMirrored();
  std::string errors;
  ASSERT_TRUE(readFileBytes(joinPath(scratch, "errors.txt"), &errors));
  EXPECT_EQ(std::string::npos, errors.find("Delete them?")) << errors;
  // Nothing on a terminal: the output of a run is the same with --yes and without.
  makeTrees();
  std::string unanswered, answered;
  EXPECT_EQ(0, runProgram({"docs", "backup", "-v"}, scratch, &unanswered)) << unanswered;
  expectMirrored();
  makeTrees();
  EXPECT_EQ(0, runProgram({"docs", "backup", "-v", "--yes"}, scratch, &answered)) << answered;
  expectMirrored();
  EXPECT_EQ(withListingLinesSorted(unanswered), withListingLinesSorted(answered));
  EXPECT_NE(std::string::npos, unanswered.find("We need to delete docs")) << unanswered;
}
}  // namespace
