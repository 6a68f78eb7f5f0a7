// -q (--quiet): a run that goes well prints nothing on standard output, as a
// scheduled job wants; failures still reach standard error, refusals standard
// output, and --stats its summary.
#include <gtest/gtest.h>

#include "run/run_fixture.h"

namespace {
class QuietRunTest : public RunTest {
 protected:
  // Runs with standard error kept apart in errors.
  int runWithErrors(const std::vector<std::string>& arguments) {
    return runProgramWithErrors(arguments, scratch, joinPath(scratch, "errors.txt"), &output,
                                &errors);
  }
  std::string errors;
};

TEST_F(QuietRunTest, ARunThatGoesWellPrintsNothing) {
  EXPECT_EQ(0, runWithErrors({destination, source, "-q"}));
  EXPECT_EQ("", output);
  EXPECT_EQ("", errors);
  EXPECT_EQ(snapshot(source), snapshot(destination));
  // Nothing to do is no news either, however -q is written.
  for (const char* quiet : {"--quiet", "-quiet"}) {
    EXPECT_EQ(0, runWithErrors({destination, source, quiet, "-l"})) << quiet;
    EXPECT_EQ("", output) << quiet;
    EXPECT_EQ("", errors) << quiet;
  }
  // The log is written as always.
  std::string log;
  ASSERT_TRUE(readFileBytes(joinPath(scratch, ".mirror_log"), &log));
  EXPECT_NE(std::string::npos, log.find("Nothing to do, folders are equal.")) << log;
}

TEST_F(QuietRunTest, StatsPrintsTheSummaryAlone) {
  EXPECT_EQ(0, run({destination, source, "-q", "-p", "--stats"}));
  ASSERT_EQ(1u, lines().size()) << output;
  EXPECT_EQ(0u, lines()[0].find("Preview: 2 to copy, 0 to update (9 B), 1 to delete, ")) << output;
  EXPECT_EQ(0, run({destination, source, "--stats", "--quiet"}));
  ASSERT_EQ(1u, lines().size()) << output;
  EXPECT_EQ(0u, lines()[0].find("Done: 2 copied, 0 updated (9 B), 1 deleted, ")) << output;
}

TEST_F(QuietRunTest, AFailureIsToldOnStandardErrorOnly) {
  // A folder that holds a file stands where the source has a file: that copy fails.
  ASSERT_TRUE(writeFileBytes(joinPath(source, "blocked"), "a file"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "blocked"), "inner"), "kept"));
  EXPECT_EQ(1, runWithErrors({destination, source, "-q"}));
  EXPECT_EQ("", output);
  EXPECT_EQ(0u,
            errors.find("Could not create the file [" + joinPath(destination, "blocked") + "]: "))
      << errors;
  EXPECT_EQ(std::string::npos, errors.find('\n', errors.find('\n') + 1)) << "one line: " << errors;
}

TEST_F(QuietRunTest, ARefusalStillReachesStandardOutputAlone) {
  std::map<std::string, std::string> destinationBefore = snapshot(destination);
  // What stops the run is what a script must see: the line alone, no banner.
  std::string missing = joinPath(scratch, "missing");
  EXPECT_EQ(2, run({destination, missing, "-q"}));
  ASSERT_EQ(1u, lines().size()) << output;
  EXPECT_EQ(0u, lines()[0].find("Cannot list the source folder [" + missing + "] (")) << output;
  EXPECT_EQ(2, run({destination, source, "-q", "-x"}));
  EXPECT_EQ("Unknown option [-x]: the one-letter options are -v, -l, -p and -q !\n", output);
  // A preview that -qp would drop, and -v with -q, which ask for opposites.
  EXPECT_EQ(2, run({destination, source, "-qp"}));
  EXPECT_EQ(
      "Option [-qp] would drop its -p (a one-letter option is read by its second character "
      "alone): write -q -p !\n",
      output);
  EXPECT_EQ(2, run({destination, source, "-v", "--quiet"}));
  EXPECT_EQ("Options [-v] and [--quiet] ask for opposites: give one or the other !\n", output);
  EXPECT_EQ(destinationBefore, snapshot(destination));
  EXPECT_FALSE(pathExists(joinPath(scratch, ".mirror_log")));
}
}  // namespace
