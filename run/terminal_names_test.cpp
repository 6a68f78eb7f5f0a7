// Names that hold control characters (an escape sequence, a carriage return, a line
// end) on a real terminal, under script(1): shown escaped as the log writes them,
// so that a file in the source cannot rewrite what the person sees; into a pipe
// the same run writes the bytes as they are.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "run/end_to_end_fixture.h"

namespace {
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

const std::vector<std::string> hostileNames = {"title\x1b]0;taken over\x07.txt",
                                               "clear\x1b[2J\x1b[H.txt", "back\rfake.txt",
                                               "line\nNothing to do, folders are equal !"};
const std::vector<std::string> shownNames = {"title\\x1b]0;taken over\\x07.txt",
                                             "clear\\x1b[2J\\x1b[H.txt", "back\\x0dfake.txt",
                                             "line\\x0aNothing to do, folders are equal !"};

class TerminalNames : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    if (platformIsWindows) GTEST_SKIP() << "script(1) is a POSIX terminal";
    if (std::system("command -v script >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "script (util-linux) is not installed";
    for (const std::string& name : hostileNames) writeFile(at({"src", name}), "x", sourceUnits);
  }
  // Runs talven -v into dst with standard output on a new terminal (standard error
  // elsewhere, so that no progress line is drawn); stores every byte the terminal
  // received. Returns the exit status, -1 where script failed.
  int runOnTerminal(std::string* received) {
    std::string command = "cd " + shellQuoted(scratch) + " && " + shellQuoted(programPath()) +
                          " dst src -v 2>/dev/null";
    std::string rawPath = at({"raw"});
    std::string statusPath = at({"status"});
    std::string outer = "script -qec " + shellQuoted(command) + " /dev/null > " +
                        shellQuoted(rawPath) + " 2>&1 < /dev/null; echo $? > " +
                        shellQuoted(statusPath);
    std::string status;
    if (std::system(outer.c_str()) != 0 || !readFileBytes(statusPath, &status)) return -1;
    readFileBytes(rawPath, received);
    return std::atoi(status.c_str());
  }
};

TEST_F(TerminalNames, ATerminalIsShownNamesEscapedAPipeGetsTheirBytes) {
  std::string received;
  int status = runOnTerminal(&received);
  if (status < 0) GTEST_SKIP() << "script could not run the program on a terminal";
  EXPECT_EQ(0, status) << received;
  // The terminal turns each line end into CR LF; no other control character
  // reaches it.
  for (size_t at = 0; at < received.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(received[at]);
    bool lineEnd = c == '\n' || (c == '\r' && at + 1 < received.size() && received[at + 1] == '\n');
    EXPECT_TRUE(lineEnd || (c >= 0x20 && c != 0x7f))
        << "byte " << static_cast<int>(c) << " at " << at << " in:\n"
        << received;
  }
  for (const std::string& shown : shownNames)
    EXPECT_NE(std::string::npos, received.find("We need to copy src/" + shown + "\r\n"))
        << shown << "\n"
        << received;
  expectMirror(at({"dst"}), at({"src"}));

  // Into a pipe: the bytes as they are, which scripts and logs of the console rely on.
  ASSERT_TRUE(makeFolders(at({"dst2"})));
  std::string piped;
  EXPECT_EQ(0, run({"dst2", "src", "-v"}, &piped)) << piped;
  for (const std::string& name : hostileNames)
    EXPECT_NE(std::string::npos, piped.find("We need to copy src/" + name + "\n")) << piped;
  EXPECT_EQ(std::string::npos, piped.find("\\x1b")) << piped;
}
}  // namespace
