// Whole runs in this process, where the copier's seams reach: a copy whose data
// cannot be written to disk fails alone, and partial files never take a source's
// own name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"
#include "run/run.h"

namespace {
using DurableMirror = InProcessMirrorTest;

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

TEST_F(DurableMirror, CopyThatCannotReachTheDiskFailsAlone) {
  for (const char* name : {"a.txt", "b.txt", "c.txt"})
    writeFile(at({"src", name}), std::string("content of ") + name, sourceUnits);
  seams.copy.syncFaultAt = 1;
  std::string output;
  EXPECT_EQ(1, runHere({"-v"}, &output)) << output;
  const std::string failure = "], the copy could not be written to disk and was removed !\n";
  ASSERT_EQ(1u, count(output, failure)) << output;
  size_t start = output.rfind("Failed to copy [", output.find(failure)) + 16;
  std::string failed = output.substr(start, output.find(failure) - start);
  // Whether it waited for its batch's sync or was synced by itself, the failure comes
  // right after the copy's own line, and the copy is never reported with its time set.
  std::string name = failed.substr(destination.size());
  std::string decided = "We need to copy " + source + name + "\n";
  EXPECT_EQ(output.find(decided) + decided.size(), output.find("Failed to copy [" + failed))
      << output;
  EXPECT_EQ(2u, count(output, "Filetime set successfully ")) << output;
  TreeState wanted = captureTree(source);
  TreeState got = captureTree(destination);
  EXPECT_EQ(2u, got.size()) << treeDifference(wanted, got);
  EXPECT_FALSE(pathExists(failed)) << "the copy that failed took its name";
  for (const auto& entry : got) EXPECT_TRUE(entry.second == wanted[entry.first]) << entry.first;
  seams.copy.syncFaultAt = -1;
  EXPECT_EQ(0, runHere({}, &output)) << output;
  expectMirror(destination, source);
}

TEST_F(DurableMirror, PartialFileNeverTakesASourceName) {
  // A user's own file under the name the partial file of a.txt would have, already
  // mirrored, while a.txt itself is updated.
  writeFile(at({"src", "a.txt"}), "new", sourceUnits);
  writeFile(at({"src", "a.txt.talven-partial"}), "the user's own", sourceUnits);
  writeFile(at({"src", "a.txt.talven-partial-1"}), "the user's too", sourceUnits);
  writeFile(at({"dst", "a.txt"}), "old", olderUnits);
  writeFile(at({"dst", "a.txt.talven-partial"}), "the user's own", sourceUnits);
  writeFile(at({"dst", "a.txt.talven-partial-1"}), "the user's too", sourceUnits);
  std::string output;
  EXPECT_EQ(0, runHere({}, &output)) << output;
  expectMirror(destination, source);
  // A first mirror of the same source, in one batch.
  destination = at({"first"});
  EXPECT_EQ(0, runHere({}, &output)) << output;
  expectMirror(destination, source);
}

struct LimitedRun {
  std::string destination;
  std::string source;
};

// In a child that may hold few files open: a run whose batches must fit that.
int runWithFewOpenFiles(void* context) {
  LimitedRun* run = static_cast<LimitedRun*>(context);
  if (!limitOpenFiles(64)) return 98;
  std::string program = "talven";
  char* argv[] = {&program[0], &run->destination[0], &run->source[0], nullptr};
  return runTalven(3, argv);
}

TEST_F(DurableMirror, BatchesKeepWithinTheLimitOfOpenFiles) {
  if (platformIsWindows) GTEST_SKIP() << "copies wait in batches on POSIX only";
  for (int i = 0; i < 300; ++i)
    writeFile(at({"src", "f" + std::to_string(i) + ".txt"}), "file " + std::to_string(i),
              sourceUnits);
  LimitedRun run = {destination, source};
  std::string output;
  ASSERT_EQ(0, runBodyInChild(runWithFewOpenFiles, &run, &output)) << output;
  expectMirror(destination, source);
}

TEST_F(DurableMirror, WithoutSyncingTheMirrorIsTheSame) {
  writeFile(at({"src", "a.txt"}), "new", sourceUnits);
  writeFile(at({"src", "sub", "b.txt"}), "added", sourceUnits);
  writeFile(at({"dst", "a.txt"}), "old", olderUnits);
  writeFile(at({"dst", "gone.txt"}), "only here", olderUnits);
  std::string output;
  EXPECT_EQ(0, runHere({"--no-sync", "-v"}, &output)) << output;
  expectMirror(destination, source);
}
}  // namespace
