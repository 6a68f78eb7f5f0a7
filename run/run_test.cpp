// The program from the outside: banner, usage, run line, messages and the log frame.
#include <gtest/gtest.h>

#include "run/command_line.h"
#include "run/run_fixture.h"

namespace {
const std::string separator(1, pathSeparator);
const std::string usageTail = " folder_to_update source_folder [options]";

// The log as text with "\n" line ends, whatever the platform writes.
std::string readLog(const std::string& path) {
  std::string bytes, text;
  if (!readFileBytes(path, &bytes)) return std::string();
  for (size_t i = 0; i < bytes.size(); ++i)
    if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) text += bytes[i];
  return text;
}

// Checks one log section: header line first, trailer last.
void expectSection(const std::string& section) {
  ASSERT_EQ(0u, section.find("\nTALVEN 0.61 by ")) << section;
  size_t headerEnd = section.find('\n', 1);
  ASSERT_NE(std::string::npos, headerEnd);
  std::string header = section.substr(1, headerEnd - 1);
  EXPECT_EQ(" - LOG section", header.substr(header.size() - 14)) << header;
  ASSERT_GE(section.size(), headerEnd + 3);
  EXPECT_EQ("\n\n", section.substr(section.size() - 2));
}

TEST_F(RunTest, TooFewArgumentsGiveBannerAndUsage) {
  for (std::vector<std::string> arguments : {std::vector<std::string>{}, {destination}}) {
    int status = run(arguments);
    std::vector<std::string> printedLines = lines();
    ASSERT_EQ(3u, printedLines.size()) << output;
    EXPECT_EQ(0u, printedLines[0].find(bannerStart)) << printedLines[0];
    EXPECT_GT(printedLines[0].size(), std::string(bannerStart).size());  // the credit text
    EXPECT_EQ("", printedLines[1]);
    const std::string& usage = printedLines[2];
    EXPECT_EQ("Usage: " + programPath() + usageTail, usage);
    // The status is the length of the usage line, line end included (within 1..255).
    int expected = static_cast<int>(usage.size()) + 1;
    EXPECT_EQ(expected > 255 ? 255 : expected, status);
  }
  EXPECT_FALSE(pathExists(joinPath(scratch, ".mirror_log")));
}

TEST_F(RunTest, HelpAloneListsTheOptionsAndTheExitStatuses) {
  std::vector<std::string> askers = {"--help", "-h"};
  if (platformIsWindows) askers.push_back("/?");
  std::string first;
  for (const std::string& asker : askers) {
    ASSERT_EQ(0, run({asker})) << asker << output;
    std::vector<std::string> printedLines = lines();
    ASSERT_GT(printedLines.size(), 10u) << output;
    EXPECT_EQ(0u, printedLines[0].find(bannerStart));
    EXPECT_EQ("Usage: " + programPath() + usageTail, printedLines[2]);
    if (first.empty()) first = output;
    EXPECT_EQ(first, output) << asker;
  }
  std::vector<std::string> listed;
  for (const std::string& line : lines())
    if (line.compare(0, 3, "  -") == 0) listed.push_back(line.substr(2, line.find(' ', 2) - 2));
  std::vector<std::string> expected = {"-v", "-l", "-p", "-q"};
  for (int k = 0; k < longOptionCount; ++k)
    expected.push_back(
        std::string(longOptions[k].name) +
        (longOptions[k].valueName ? "=" + std::string(longOptions[k].valueName) : ""));
  expected.push_back("--help,");
  expected.push_back("--version");
  EXPECT_EQ(expected, listed) << output;
  for (const char* status : {"  0  ", "  1  ", "  2  ", "  3  ", "  130  ", "  other  "})
    EXPECT_NE(std::string::npos, output.find(std::string("\n") + status)) << status;
  EXPECT_FALSE(pathExists(joinPath(scratch, ".mirror_log")));
}

TEST_F(RunTest, VersionAloneGivesNameVersionAndLicense) {
  ASSERT_EQ(0, run({"--version"})) << output;
  std::vector<std::string> printedLines = lines();
  ASSERT_EQ(4u, printedLines.size()) << output;
  EXPECT_EQ(0u, printedLines[0].find(bannerStart));
  EXPECT_EQ("talven 0.61", printedLines[2]);
  EXPECT_EQ("Copyright (c) 2026 The Talven developers, MIT License", printedLines[3]);
}

TEST_F(RunTest, HelpOrVersionWithFoldersStopsTheRun) {
  std::map<std::string, std::string> destinationBefore = snapshot(destination);
  for (const char* asker : {"--help", "--version"}) {
    EXPECT_EQ(2, run({destination, source, "-v", asker})) << output;
    EXPECT_EQ("Option [" + std::string(asker) + "] is given alone: talven " + asker + " !",
              lines().back());
    EXPECT_EQ(3u, lines().size()) << output;
  }
  // Before the folders they are folders that start with a dash.
  EXPECT_EQ(2, run({"--help", destination, source})) << output;
  EXPECT_EQ(destinationBefore, snapshot(destination));
  // Elsewhere than Windows /? is a name like any other: one argument gives the usage.
  if (!platformIsWindows) {
    int usageLength = static_cast<int>(("Usage: " + programPath() + usageTail).size()) + 1;
    EXPECT_EQ(usageLength > 255 ? 255 : usageLength, run({"/?"})) << output;
  }
}

TEST_F(RunTest, RunLineNamesTheRootsWithoutTrailingSeparators) {
  std::map<std::string, std::string> sourceBefore = snapshot(source);
  int status = run({destination + separator, source + separator + separator});
  EXPECT_EQ(0, status) << output;
  std::vector<std::string> printedLines = lines();
  ASSERT_GE(printedLines.size(), 3u) << output;
  EXPECT_EQ(0u, printedLines[0].find(bannerStart));
  EXPECT_EQ("", printedLines[1]);
  EXPECT_EQ(runLine(source, destination), printedLines[2]);
  EXPECT_EQ(sourceBefore, snapshot(source));
  EXPECT_FALSE(pathExists(joinPath(scratch, ".mirror_log")));
}

TEST_F(RunTest, VerboseRunsAnnounceBothScanThreads) {
  const std::string first = "Thread 1 running - listing destination directory !";
  const std::string second = "Thread 2 running - listing source directory !";
  EXPECT_EQ(0, run({destination, source, "-v"})) << output;
  int firstCount = 0, secondCount = 0;
  for (const std::string& line : lines()) {
    firstCount += line == first;
    secondCount += line == second;
  }
  EXPECT_EQ(1, firstCount) << output;
  EXPECT_EQ(1, secondCount) << output;
  EXPECT_EQ(0, run({destination, source}));
  EXPECT_FALSE(printed(first) || printed(second)) << output;
}

TEST_F(RunTest, EachLoggedRunAppendsOneSection) {
  std::string logPath = joinPath(scratch, ".mirror_log");
  ASSERT_EQ(0, run({destination, source, "-l"})) << output;
  std::string firstLog = readLog(logPath);
  expectSection(firstLog);
  ASSERT_EQ(0, run({destination, source, "-l", "-v"})) << output;
  std::string bothLogs = readLog(logPath);
  ASSERT_GT(bothLogs.size(), firstLog.size());
  EXPECT_EQ(firstLog, bothLogs.substr(0, firstLog.size()));
  expectSection(bothLogs.substr(firstLog.size()));
  // A run without -l leaves the log alone.
  ASSERT_EQ(0, run({destination, source}));
  EXPECT_EQ(bothLogs, readLog(logPath));
}

TEST_F(RunTest, AMissingDestinationRootIsNoReasonToStop) {
  std::map<std::string, std::string> sourceBefore = snapshot(source);
  std::string missing = joinPath(scratch, "fresh");
  EXPECT_EQ(0, run({missing, source})) << output;
  EXPECT_TRUE(printed(runLine(source, missing))) << output;
  EXPECT_EQ(sourceBefore, snapshot(source));
}
}  // namespace
