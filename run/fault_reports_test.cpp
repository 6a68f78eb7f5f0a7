// Failures told on standard error with the path and the system's reason, with or
// without -v; the run's own log kept from its copies; an emptied folder giving way
// to the file the source has in its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "run/end_to_end_fixture.h"
#include "run/run.h"

namespace {
// 2100-01-01 UTC.
constexpr int64_t futureUnits = 157469184000000000LL;

class FailureReports : public InProcessMirrorTest {
 protected:
  /// Runs the program in folder; its standard error goes to errors.
  int runIn(const std::string& folder, const std::vector<std::string>& arguments,
            std::string* output, std::string* errors) {
    return runProgramWithErrors(arguments, folder, at({"errors.txt"}), output, errors);
  }
  /// What a run without -v prints when nothing stops it.
  std::string quietOutput(const std::string& to) const {
    return "Talven Package v0.61 - folder mirror by the Talven developers\n\n"
           "Mirroring source [" +
           source + "] to destination folder [" + to + "]\n";
  }
};

// The one line that starts with start, up to its end; empty when there is none.
std::string lineStarting(const std::string& text, const std::string& start) {
  size_t at = text.find(start);
  if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return std::string();
  return text.substr(at, text.find('\n', at) - at);
}

// A reason follows the bracket: the system's words, not nothing.
void expectReasonAfter(const std::string& errors, const std::string& start) {
  std::string line = lineStarting(errors, start);
  ASSERT_FALSE(line.empty()) << errors;
  EXPECT_GT(line.size(), start.size() + 2) << line;
}

TEST_F(FailureReports, LogThatCannotBeOpenedIsToldAndTheRunGoesOn) {
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  // A folder where the log should be, and a link that leads nowhere.
  std::string folderCase = at({"folder-case"});
  ASSERT_TRUE(makeFolders(joinPath(folderCase, ".mirror_log")));
  std::string linkCase = at({"link-case"});
  ASSERT_TRUE(makeFolders(linkCase));
  bool linked = makeSymlink(at({"nowhere", "log"}), joinPath(linkCase, ".mirror_log"));
  for (const std::string& folder : {folderCase, linkCase}) {
    if (folder == linkCase && !linked) continue;
    std::string to = joinPath(folder, "dst");
    std::string output;
    std::string errors;
    EXPECT_EQ(1, runIn(folder, {to, source, "-l"}, &output, &errors)) << folder;
    EXPECT_EQ(quietOutput(to), output);
    expectReasonAfter(errors, "Could not open the log [.mirror_log]: ");
    expectMirror(to, source);
  }
  EXPECT_FALSE(pathExists(at({"nowhere"})));
}

TEST_F(FailureReports, FailedCopyAndVanishedSourceAreToldWithoutVerbose) {
  // A folder holding a file stands where the source has a file: the copy fails.
  writeFile(at({"src", "x"}), "a file now", sourceUnits);
  writeFile(at({"dst", "x", "inside.txt"}), "in the folder", olderUnits);
  // The file that the copy pass is to read is removed once both trees are listed.
  writeFile(at({"src", "update.bin"}), patternBytes(100000, 3), sourceUnits);
  writeFile(at({"dst", "update.bin"}), "older", olderUnits);
  writeFile(at({"src", "gone.txt"}), "listed, then removed", sourceUnits);
  static std::string vanishing;
  vanishing = at({"src", "gone.txt"});
  seams.scansEnded = [](void*) {
    if (!vanishing.empty()) deleteFile(vanishing.c_str());
    vanishing.clear();
  };
  std::string output;
  std::string errors;
  EXPECT_EQ(1, runHere({}, &output, &errors)) << output;
  seams.scansEnded = nullptr;
  EXPECT_TRUE(vanishing.empty()) << "the hook never ran";
  // Without -v, the banner, the run line and the vanished file, which is no failure.
  EXPECT_EQ(quietOutput(destination) + "Vanished from the source since it was listed [" +
                at({"src", "gone.txt"}) + "]\n",
            output);
  expectReasonAfter(errors, "Could not create the file [" + at({"dst", "x"}) + "]: ");
  EXPECT_EQ(1u, std::count(errors.begin(), errors.end(), '\n')) << errors;
}

TEST_F(FailureReports, EmptiedFolderGivesWayToAFile) {
  writeFile(at({"src", "x"}), "a file now", sourceUnits);
  writeFile(at({"dst", "x", "old.txt"}), "was in the folder", olderUnits);
  std::string output;
  std::string errors;
  // The folder holds a file: it stays, and the copy fails, as said with -v too.
  EXPECT_EQ(1, runHere({"-v"}, &output, &errors)) << output;
  EXPECT_NE(std::string::npos, output.find("Cannot create file in folder !\n")) << output;
  expectReasonAfter(errors, "Could not create the file [" + at({"dst", "x"}) + "]: ");
  // Its file went with the deletions; the empty folder now gives way.
  EXPECT_FALSE(pathExists(at({"dst", "x", "old.txt"})));
  EXPECT_EQ(0, runHere({"-v"}, &output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos, output.find("Removed the empty folder [" + at({"dst", "x"}) + "]\n"))
      << output;
  EXPECT_EQ("", errors);
  expectMirror(destination, source);
  EXPECT_EQ(0, runHere({}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}

TEST_F(FailureReports, RunLogIsNeverReplacedByItsOwnCopy) {
  // The run logs into the destination, which holds the log's history; the source
  // has a newer log of its own.
  writeFile(at({"dst", ".mirror_log"}), "earlier history\n", olderUnits);
  // Newer than the log even once this run has written to it.
  writeFile(at({"src", ".mirror_log"}), "the source's own log\n", futureUnits);
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  std::string output;
  std::string errors;
  EXPECT_EQ(1, runIn(destination, {".", source, "-l"}, &output, &errors)) << output;
  EXPECT_EQ(quietOutput("."), output);
  std::string log;
  ASSERT_TRUE(readFileBytes(at({"dst", ".mirror_log"}), &log));
  EXPECT_EQ(0u, log.find("earlier history\n")) << log;
  EXPECT_NE(std::string::npos, log.find("TALVEN 0.61 by the Talven developers - LOG section"));
  EXPECT_NE(std::string::npos, log.find(std::string("Got ") + pathSeparator + "a.txt\t1")) << log;
  EXPECT_EQ(std::string::npos, log.find("the source's own log")) << log;
  EXPECT_EQ(std::string::npos, log.find("Updated")) << log;
  std::string logPath = std::string(".") + pathSeparator + ".mirror_log";
  EXPECT_EQ("Could not update [" + logPath + "]: it is the log this run writes",
            lineStarting(errors, "Could not update"))
      << errors;
  // With -v the kept log has its line; the next run keeps it in the same way.
  EXPECT_EQ(1, runIn(destination, {".", source, "-l", "-v"}, &output, &errors)) << output;
  EXPECT_NE(std::string::npos,
            output.find("Kept the log [" + logPath + "]: this run writes to it !"))
      << output;
  ASSERT_TRUE(readFileBytes(at({"dst", ".mirror_log"}), &log));
  EXPECT_EQ(0u, log.find("earlier history\n")) << log;
  EXPECT_NE(log.find("LOG section"), log.rfind("LOG section")) << log;
}
}  // namespace
