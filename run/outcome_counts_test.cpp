// The summary counts what became of each action, as the tree shows it afterwards:
// after Ctrl-C in the middle of the copies, on a full disk, with a source file that
// cannot be read, a copy whose time was not kept, and with files gone since the
// listing: source files are told, counted as vanished, and no failure.
#include <gtest/gtest.h>

#include <string>

#include "base/backup_tag.h"
#include "base/json_lines.h"
#include "run/end_to_end_fixture.h"
#include "run/run_fixture.h"

namespace {
// The number the summary line gives before label (" copied,"), or -1.
long long summaryCount(const std::string& output, const std::string& label) {
  size_t line = output.rfind(": ", output.find(" newer in the destination kept"));
  size_t at = output.find(label, line == std::string::npos ? 0 : line);
  if (at == std::string::npos) return -1;
  std::string digits;
  while (at > 0 && (isdigit(static_cast<unsigned char>(output[at - 1])) || output[at - 1] == ','))
    if (output[--at] != ',') digits.insert(digits.begin(), output[at]);
  return digits.empty() ? -1 : std::stoll(digits);
}

// Files of the destination that are their source's bytes and time.
int mirroredFiles(const std::string& destination, const std::string& source) {
  TreeState wanted = captureTree(source);
  int mirrored = 0;
  for (const auto& file : captureTree(destination)) {
    auto twin = wanted.find(file.first);
    mirrored += twin != wanted.end() && twin->second == file.second;
  }
  return mirrored;
}

class OutcomeCounts : public InProcessMirrorTest {
 public:
  using InProcessMirrorTest::at;  // for the hooks, which get the test as their context

 protected:
  void TearDown() override {
    setInterruptRequested(0);
    InProcessMirrorTest::TearDown();
  }
  void writeManyFiles(int count) {
    for (int number = 0; number < count; ++number)
      writeFile(at({"src", "d" + std::to_string(number % 7), "f" + std::to_string(number)}),
                "file " + std::to_string(number), sourceUnits);
  }
};

// Ctrl-C once 40 copies were written: those written by then are put in place, the
// others are not begun or removed.
int blocksWritten = 0;
void interruptAfterSomeCopies(void*, long long) {
  if (++blocksWritten == 40) setInterruptRequested(1);
}

TEST_F(OutcomeCounts, CopiesStoppedByCtrlCAreNeitherCopiedNorFailed) {
  writeManyFiles(400);
  seams.copy.blockDone = interruptAfterSomeCopies;
  for (const char* form : {"--stats", "--json"}) {
    SCOPED_TRACE(form);
    ASSERT_TRUE(!pathExists(destination) || removeFolderTree(destination));
    setInterruptRequested(0);
    blocksWritten = 0;
    std::string output, errors;
    EXPECT_EQ(interruptedExitStatus, runHere({form, "--workers=4"}, &output, &errors)) << output;
    int onDisk = static_cast<int>(listFiles(destination).size());
    EXPECT_GT(onDisk, 0);
    EXPECT_LT(onDisk, 400);
    EXPECT_EQ(onDisk, mirroredFiles(destination, source));
    if (std::string(form) == "--stats") {
      EXPECT_NE(std::string::npos, output.find("\nStopped: ")) << output;
      EXPECT_EQ(onDisk, summaryCount(output, " copied,")) << output;
      EXPECT_EQ(0, summaryCount(output, " failed")) << output;
      continue;
    }
    std::vector<JsonValue> objects;
    std::string error;
    ASSERT_TRUE(parseJsonLines(output, &objects, &error)) << error;
    const JsonValue& end = objects.back();
    EXPECT_EQ("stopped", end["result"].str());
    EXPECT_EQ(onDisk, end["copied"].integer());
    EXPECT_EQ(0, end["failed"].integer());
    EXPECT_EQ(interruptedExitStatus, end["status"].integer());
    int done = 0;
    for (const JsonValue& object : objects)
      done += object["kind"].str() == "copy" && object["outcome"].str() == "done";
    EXPECT_EQ(onDisk, done);
  }
  seams.copy.blockDone = nullptr;
}

TEST_F(OutcomeCounts, ASourceFileThatCannotBeReadIsAFailureNotACopy) {
  writeManyFiles(4);
  // Once listed, one of them is a folder: it cannot be read as a file (not gone).
  seams.scansEnded = [](void* context) {
    OutcomeCounts* test = static_cast<OutcomeCounts*>(context);
    std::string path = test->at({"src", "d2", "f2"});
    ASSERT_EQ(0, deleteFile(path.c_str()));
    ASSERT_TRUE(makeFolders(path));
  };
  seams.context = this;
  std::string output, errors;
  EXPECT_EQ(exitSomeFailed, runHere({"--stats"}, &output, &errors)) << output;
  seams.scansEnded = nullptr;
  EXPECT_EQ(3u, listFiles(destination).size());
  EXPECT_EQ(3, mirroredFiles(destination, source));
  EXPECT_EQ(3, summaryCount(output, " copied,")) << output;
  EXPECT_EQ(1, summaryCount(output, " failed")) << output;
  EXPECT_EQ(std::string::npos, output.find("vanished")) << output;
  EXPECT_NE(std::string::npos,
            errors.find("Could not read the source file [" + at({"src", "d2", "f2"}) + "]: "))
      << errors;
}

TEST_F(OutcomeCounts, SourceFilesGoneSinceTheListingAreToldAndNoFailure) {
  writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
  writeFile(at({"src", "gone.txt"}), "listed, then removed", sourceUnits);
  writeFile(at({"src", "sub", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "sub", "b.txt"}), "b", sourceUnits);
  // An update whose source goes keeps the older file.
  writeFile(at({"src", "update.txt"}), "newer", sourceUnits);
  writeFile(at({"dst", "update.txt"}), "older", olderUnits);
  // The file, a whole folder and the update's source go once both trees are listed.
  seams.scansEnded = [](void* context) {
    OutcomeCounts* test = static_cast<OutcomeCounts*>(context);
    ASSERT_EQ(0, deleteFile(test->at({"src", "gone.txt"}).c_str()));
    ASSERT_EQ(0, deleteFile(test->at({"src", "update.txt"}).c_str()));
    ASSERT_TRUE(removeFolderTree(test->at({"src", "sub"})));
  };
  seams.context = this;
  std::string output, errors;
  EXPECT_EQ(exitSuccess, runHere({"--stats"}, &output, &errors)) << output << errors;
  seams.scansEnded = nullptr;
  EXPECT_EQ("", errors);
  for (const std::string& gone : {at({"src", "update.txt"}), at({"src", "gone.txt"}),
                                  at({"src", "sub", "a.txt"}), at({"src", "sub", "b.txt"})})
    EXPECT_NE(std::string::npos,
              output.find("Vanished from the source since it was listed [" + gone + "]\n"))
        << output;
  EXPECT_EQ(0u, output.find(bannerStart));
  EXPECT_EQ(1, summaryCount(output, " copied,")) << output;
  EXPECT_EQ(0, summaryCount(output, " updated")) << output;
  EXPECT_EQ(0, summaryCount(output, " failed")) << output;
  EXPECT_EQ(4, summaryCount(output, " vanished, in ")) << output;
  TreeState tree = captureTree(destination);
  EXPECT_EQ(2u, tree.size());
  EXPECT_TRUE(tree["update.txt"] == (FileState{"older", olderUnits}));
  EXPECT_FALSE(pathExists(at({"dst", "sub"}))) << "a folder made for nothing";
  // The next run mirrors what is there, and nothing vanished then.
  EXPECT_EQ(exitSuccess, runHere({"--stats"}, &output));
  EXPECT_EQ(std::string::npos, output.find("vanished")) << output;
  expectMirror(destination, source);
}

TEST_F(OutcomeCounts, AQuietRunLeavesVanishedFilesToTheSummary) {
  writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
  writeFile(at({"src", "gone.txt"}), "listed, then removed", sourceUnits);
  seams.scansEnded = [](void* context) {
    OutcomeCounts* test = static_cast<OutcomeCounts*>(context);
    ASSERT_EQ(0, deleteFile(test->at({"src", "gone.txt"}).c_str()));
  };
  seams.context = this;
  std::string output, errors;
  EXPECT_EQ(exitSuccess, runHere({"-q"}, &output, &errors)) << output << errors;
  EXPECT_EQ("", output);
  EXPECT_EQ("", errors);
  writeFile(at({"src", "gone.txt"}), "listed, then removed", sourceUnits);
  writeFile(at({"src", "kept.txt"}), "kept, changed", sourceUnits + 600000000LL);
  EXPECT_EQ(exitSuccess, runHere({"-q", "--stats"}, &output, &errors)) << output << errors;
  seams.scansEnded = nullptr;
  EXPECT_EQ(std::string::npos, output.find("Vanished")) << output;
  EXPECT_EQ(1, summaryCount(output, " vanished, in ")) << output;
  EXPECT_EQ(1, summaryCount(output, " updated")) << output;
}

TEST_F(OutcomeCounts, ACopyWhoseTimeWasNotKeptStaysInPlaceButCountsAsFailed) {
  writeManyFiles(3);
  // A file system that keeps the time of writing, whatever it is given.
  seams.copy.timesIgnored = 1;
  std::string output, errors;
  EXPECT_EQ(exitSomeFailed, runHere({"--json"}, &output, &errors)) << errors;
  seams.copy.timesIgnored = 0;
  EXPECT_EQ(3u, listFiles(destination).size());
  EXPECT_EQ(0, mirroredFiles(destination, source));
  std::vector<JsonValue> objects;
  std::string error;
  ASSERT_TRUE(parseJsonLines(output, &objects, &error)) << error;
  int inPlace = 0;
  for (const JsonValue& object : objects) {
    if (object["kind"].str() != "copy") continue;
    EXPECT_EQ("failed", object["outcome"].str());
    EXPECT_EQ("set the time of", object["failed_to"].str());
    inPlace += object["in_place"].flag;
  }
  EXPECT_EQ(3, inPlace);
  EXPECT_EQ(0, objects.back()["copied"].integer());
  EXPECT_EQ(3, objects.back()["failed"].integer());
}

TEST_F(OutcomeCounts, DestinationFilesGoneBeforeTheirTurn) {
  writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
  writeFile(at({"dst", "old.txt"}), "old", olderUnits);
  ASSERT_TRUE(makeFolders(at({"versions"})));
  // Gone before its deletion: gone as the run wanted, counted as deleted.
  seams.scansEnded = [](void* context) {
    OutcomeCounts* test = static_cast<OutcomeCounts*>(context);
    ASSERT_EQ(0, deleteFile(test->at({"dst", "old.txt"}).c_str()));
  };
  seams.context = this;
  std::string output;
  EXPECT_EQ(exitSuccess, runHere({"--stats"}, &output)) << output;
  EXPECT_EQ(1, summaryCount(output, " deleted,")) << output;
  // Gone before its move: the backup folder does not hold it, and nothing failed.
  writeFile(at({"dst", "old.txt"}), "old", olderUnits);
  EXPECT_EQ(exitSuccess, runHere({"--stats", "--backup-dir=" + at({"versions"})}, &output))
      << output;
  seams.scansEnded = nullptr;
  EXPECT_EQ(0, summaryCount(output, " moved to the backup folder,")) << output;
  EXPECT_EQ(1, summaryCount(output, " vanished, in ")) << output;
  EXPECT_EQ(0, summaryCount(output, " failed")) << output;
  // The backup folder holds its tag alone.
  EXPECT_EQ(std::vector<std::string>{backupTagName}, listFiles(at({"versions"})));
}

class FullDisk : public EndToEndTest {};

TEST_F(FullDisk, OnlyTheCopiesThatFitAreCounted) {
  if (platformIsWindows || !runningPrivileged())
    GTEST_SKIP() << "mounting a small file system needs a privileged POSIX run";
  std::string destination = at({"dst"});
  ASSERT_TRUE(makeFolders(destination));
  if (!mountSmallFileSystem(destination, 256))
    GTEST_SKIP() << "cannot mount a 256 KiB file system here";
  mounted.push_back(destination);
  for (int number = 0; number < 5; ++number)
    writeFile(at({"src", "small" + std::to_string(number)}), patternBytes(1000, number),
              sourceUnits);
  writeFile(at({"src", "big.bin"}), patternBytes(400 * 1024, 9), sourceUnits);
  std::string output;
  EXPECT_EQ(exitSomeFailed, run({destination, at({"src"}), "--stats", "--workers=1"}, &output))
      << output;
  EXPECT_FALSE(pathExists(at({"dst", "big.bin"})));
  int onDisk = static_cast<int>(listFiles(destination).size());
  EXPECT_EQ(5, onDisk);
  EXPECT_EQ(onDisk, mirroredFiles(destination, at({"src"})));
  EXPECT_EQ(onDisk, summaryCount(output, " copied,")) << output;
  EXPECT_EQ(1, summaryCount(output, " failed")) << output;
  // The bytes of the copies in place, not of the one that failed.
  EXPECT_NE(std::string::npos, output.find(" updated (4.9 KiB), ")) << output;
}
}  // namespace
