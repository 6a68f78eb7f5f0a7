// --log=FILE: the log appended to a file of the user's choosing, kept from the run's
// own changes wherever it lies, as .mirror_log is.
#include <gtest/gtest.h>

#include <string>

#include "run/end_to_end_fixture.h"

namespace {
// 2100-01-01 UTC.
constexpr int64_t futureUnits = 157469184000000000LL;
const std::string header = "TALVEN 0.61 by the Talven developers - LOG section";

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class LogOption : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    writeFile(at({"src", "a.txt"}), "a", sourceUnits);
    writeFile(at({"dst", "stale.txt"}), "stale", olderUnits);
  }
  int runWith(const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return runProgramWithErrors(arguments, scratch, at({"errors.txt"}), &output, &errors);
  }
  std::string fileText(const std::string& path) {
    std::string bytes;
    return readFileBytes(path, &bytes) ? bytes : std::string("<missing>");
  }
  std::string output, errors;
};

TEST_F(LogOption, AppendsToItsFileInBothForms) {
  ASSERT_TRUE(makeFolders(at({"jobs"})));
  std::string logPath = std::string("jobs") + pathSeparator + "nightly.log";
  ASSERT_EQ(0, runWith({"--log=" + logPath})) << output << errors;
  EXPECT_EQ("", errors);
  std::string first = fileText(at({"jobs", "nightly.log"}));
  EXPECT_EQ(1u, countOf(first, header)) << first;
  EXPECT_NE(std::string::npos, first.find(std::string("Got ") + pathSeparator + "a.txt")) << first;
  EXPECT_NE(std::string::npos, first.find(std::string("Deleted ") + pathSeparator + "stale.txt"));
  // Apart from its name, and with -l as well: the same file, never .mirror_log.
  ASSERT_EQ(0, runWith({"-l", "--log", logPath, "-p"})) << output << errors;
  std::string both = fileText(at({"jobs", "nightly.log"}));
  EXPECT_EQ(first, both.substr(0, first.size()));
  EXPECT_EQ(2u, countOf(both, header)) << both;
  EXPECT_NE(std::string::npos, both.find("Nothing to do, folders are equal.", first.size()));
  EXPECT_FALSE(pathExists(at({".mirror_log"})));
  expectMirror(destination, source);
}

TEST_F(LogOption, AFileThatCannotBeOpenedIsToldAndTheRunGoesOn) {
  std::string logPath = std::string("missing") + pathSeparator + "run.log";
  EXPECT_EQ(1, runWith({"--log", logPath})) << output;
  EXPECT_EQ(0u, errors.find("Could not open the log [" + logPath + "]: ")) << errors;
  expectMirror(destination, source);
  EXPECT_FALSE(pathExists(at({"missing"})));
}

TEST_F(LogOption, AFileInTheDestinationIsNeitherReplacedNorDeleted) {
  // The log keeps its history; the source's newer file of its name is not copied
  // over it, and the run says so.
  writeFile(at({"dst", "job.log"}), "earlier history\n", olderUnits);
  writeFile(at({"src", "job.log"}), "the source's own file\n", futureUnits);
  std::string logPath = at({"dst", "job.log"});
  EXPECT_EQ(1, runWith({"--log=" + logPath, "-v"})) << output << errors;
  EXPECT_NE(std::string::npos,
            errors.find("Could not update [" + logPath + "]: it is the log this run writes"))
      << errors;
  EXPECT_NE(std::string::npos,
            output.find("Kept the log [" + logPath + "]: this run writes to it !"))
      << output;
  std::string log = fileText(logPath);
  EXPECT_EQ(0u, log.find("earlier history\n")) << log;
  EXPECT_EQ(1u, countOf(log, header)) << log;
  EXPECT_EQ(std::string::npos, log.find("the source's own file")) << log;
  EXPECT_FALSE(pathExists(at({"dst", "stale.txt"})));
  // Without a twin in the source it is not deleted either.
  ASSERT_TRUE(deleteFile(at({"src", "job.log"}).c_str()) == 0);
  EXPECT_EQ(0, runWith({"--log", logPath})) << output << errors;
  std::string both = fileText(logPath);
  EXPECT_EQ(log, both.substr(0, log.size()));
  EXPECT_EQ(2u, countOf(both, header)) << both;
  EXPECT_EQ(std::string::npos, both.find("Deleted", log.size())) << both;
  EXPECT_NE(std::string::npos, both.find("Nothing to do, folders are equal.", log.size())) << both;
}

TEST_F(LogOption, AFileInTheSourceIsOnlyReadAndLeftOut) {
  // The source is only read: its log keeps every line, and is no file of the mirror
  // (each run would copy it again).
  std::string logPath = at({"src", "job.log"});
  EXPECT_EQ(0, runWith({"--log=" + logPath})) << output << errors;
  std::string log = fileText(logPath);
  EXPECT_EQ(1u, countOf(log, header)) << log;
  EXPECT_EQ(std::string::npos, log.find(std::string("Got ") + pathSeparator + "job.log")) << log;
  EXPECT_EQ("a", fileText(at({"src", "a.txt"})));
  EXPECT_FALSE(pathExists(at({"dst", "job.log"})));
  EXPECT_EQ(0, runWith({"--log=" + logPath, "-v"})) << output << errors;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
  // Another file of its name is the source's own.
  writeFile(at({"src", "sub", "job.log"}), "a file of the source", sourceUnits);
  EXPECT_EQ(0, runWith({"--log=" + logPath})) << output << errors;
  EXPECT_EQ("a file of the source", fileText(at({"dst", "sub", "job.log"})));
}

// cd docs; talven ../bk . -l: the default log lies in the source.
TEST_F(LogOption, TheDefaultLogInTheSourceIsLeftOut) {
  std::string back = std::string("..") + pathSeparator + "dst";
  EXPECT_EQ(0, runProgram({back, ".", "-l"}, source, &output)) << output;
  EXPECT_TRUE(pathExists(at({"src", ".mirror_log"})));
  EXPECT_FALSE(pathExists(at({"dst", ".mirror_log"})));
  EXPECT_EQ(0, runProgram({back, ".", "-l"}, source, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
  EXPECT_EQ(2u, countOf(fileText(at({"src", ".mirror_log"})), header));
}
}  // namespace
