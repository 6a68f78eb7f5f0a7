// Mirrors onto file systems whose clocks are coarser than the source's: ext4 with
// 128-byte inodes (whole seconds) and exFAT through FUSE (whole seconds there), both
// real and mounted from loop devices, and FAT's 2-second local-time steps through the
// test seam (this kernel has no vfat driver). On each a copy keeps only what its file
// system holds, and the next run must still find it current.
#include <gtest/gtest.h>

#include <functional>

#include "platform/mount_support.h"
#include "reconcile/destination_clock.h"
#include "run/end_to_end_fixture.h"

namespace {
constexpr int64_t second = 10000000;
typedef std::function<int(const std::vector<std::string>&, std::string*)> Runner;

int64_t lastWriteOf(const std::string& path) {
  FileTimes times;
  return readFileTimes(path, &times) ? times.lastWrite : -1;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The checks every coarse destination must pass, on destination and source roots that
// the caller made, with files at the relative paths a, b and c (c in a subfolder).
class CoarseClockChecks {
 public:
  CoarseClockChecks(std::string destination, std::string source, Runner run)
      : destination(destination), source(source), run(run) {}

  void write(const std::string& relative, const std::string& bytes, int64_t units) {
    std::string path = joinPath(source, relative);
    ASSERT_TRUE(writeFileBytes(path, bytes)) << path;
    ASSERT_EQ(0, setFileTimes(path.c_str(), fileTimeOf(units))) << path;
  }

  // First mirror: everything copied, each copy holding less of its time than its source.
  void firstMirrorCopiesEverything(const std::vector<std::string>& files) {
    std::string output;
    EXPECT_EQ(0, run({"-v"}, &output)) << output;
    for (const std::string& file : files) {
      std::string bytes;
      EXPECT_TRUE(readFileBytes(joinPath(destination, file), &bytes)) << file;
      std::string wanted;
      readFileBytes(joinPath(source, file), &wanted);
      EXPECT_EQ(wanted, bytes) << file;
      int64_t kept = lastWriteOf(joinPath(destination, file));
      int64_t given = lastWriteOf(joinPath(source, file));
      EXPECT_NE(given, kept) << file << ": the clock is not coarse, the test proves nothing";
      EXPECT_LT(given - kept, 2 * second) << file;
    }
  }

  void nothingToDo(const std::vector<std::string>& options) {
    std::string output;
    EXPECT_EQ(0, run(options, &output)) << output;
    EXPECT_TRUE(contains(output, "Nothing to do, folders are equal !")) << output;
    EXPECT_FALSE(contains(output, "Newer file found")) << output;
  }

  // A source file changed a few seconds after its copy is updated, and only it.
  void laterSourceIsUpdated(const std::string& file, const std::string& others) {
    write(file, "changed a few seconds later", lastWriteOf(joinPath(source, file)) + 3 * second);
    std::string output;
    EXPECT_EQ(0, run({"-v"}, &output)) << output;
    std::string shown = pathSeparator + file;
    for (char& c : shown)
      if (c == '/') c = pathSeparator;
    EXPECT_TRUE(contains(output, "Newer file found " + shown + ", updating!")) << output;
    EXPECT_FALSE(contains(output, "Newer file found " + std::string(1, pathSeparator) + others))
        << output;
    std::string bytes;
    readFileBytes(joinPath(destination, file), &bytes);
    EXPECT_EQ("changed a few seconds later", bytes);
  }

  // A destination twin edited after its copy is newer than its source and kept.
  void newerTwinIsKept(const std::string& file) {
    std::string path = joinPath(destination, file);
    int64_t edited = lastWriteOf(joinPath(source, file)) + 60 * second;
    ASSERT_TRUE(writeFileBytes(path, "edited on the stick"));
    ASSERT_EQ(0, setFileTimes(path.c_str(), fileTimeOf(edited)));
    nothingToDo({"-v"});
    std::string bytes;
    readFileBytes(path, &bytes);
    EXPECT_EQ("edited on the stick", bytes);
  }

  // The whole sequence on three files whose times carry fractions of a second.
  void runAll() {
    write("a.txt", "alpha", sourceUnits);
    write("b.txt", "beta", sourceUnits + second + 5 * second / 1000);
    write("sub/c.txt", "gamma", sourceUnits + 2 * second + 3);
    firstMirrorCopiesEverything({"a.txt", "b.txt", "sub/c.txt"});
    nothingToDo({});
    nothingToDo({"-p", "-v"});
    laterSourceIsUpdated("sub/c.txt", "a.txt");
    nothingToDo({});
    newerTwinIsKept("b.txt");
  }

  std::string destination;
  std::string source;
  Runner run;
};

class CoarseClockMount : public EndToEndTest {
 protected:
  void TearDown() override {
    unmountTestImage(&inner);
    unmountTestImage(&outer);
    EndToEndTest::TearDown();
  }
  // Mounts an image of kind, kept beside the trees, on where; false (and why) where
  // that is refused.
  bool mountDestination(TestMountKind kind, TestMount* mount, const std::string& where) {
    std::string image = at({kind == mountExfatFuse ? "exfat.img" : "ext4.img"});
    std::string why = mountTestImage(kind, image, where, 64, mount);
    if (why.empty()) return true;
    skipReason = why;
    return false;
  }
  Runner program(const std::string& destination, const std::string& source) {
    return
        [this, destination, source](const std::vector<std::string>& options, std::string* output) {
          std::vector<std::string> arguments = {destination, source};
          arguments.insert(arguments.end(), options.begin(), options.end());
          return run(arguments, output);
        };
  }
  TestMount outer = {"", "", "", false};
  TestMount inner = {"", "", "", false};
  std::string skipReason;
};

TEST_F(CoarseClockMount, Ext4WithSmallInodesKeepsWholeSeconds) {
  if (!mountDestination(mountExt4SmallInodes, &outer, at({"dst"}))) GTEST_SKIP() << skipReason;
  CoarseClockChecks(at({"dst"}), at({"src"}), program(at({"dst"}), at({"src"}))).runAll();
}

TEST_F(CoarseClockMount, ExfatThroughFuse) {
  if (!mountDestination(mountExfatFuse, &outer, at({"dst"}))) GTEST_SKIP() << skipReason;
  CoarseClockChecks(at({"dst"}), at({"src"}), program(at({"dst"}), at({"src"}))).runAll();
}

// A stick mounted inside the destination tree: each file is judged by the file system
// it lies on.
TEST_F(CoarseClockMount, ExfatMountedInsideAnExt4Destination) {
  if (!mountDestination(mountExt4SmallInodes, &outer, at({"dst"}))) GTEST_SKIP() << skipReason;
  if (!mountDestination(mountExfatFuse, &inner, at({"dst", "stick"}))) GTEST_SKIP() << skipReason;
  CoarseClockChecks checks(at({"dst"}), at({"src"}), program(at({"dst"}), at({"src"})));
  checks.write("top.txt", "on ext4", sourceUnits + 4);
  checks.write("stick/a.txt", "on exFAT", sourceUnits + second / 3);
  checks.write("stick/deep/b.txt", "on exFAT too", sourceUnits + 2 * second / 3);
  checks.firstMirrorCopiesEverything({"top.txt", "stick/a.txt", "stick/deep/b.txt"});
  checks.nothingToDo({});
  checks.laterSourceIsUpdated("stick/deep/b.txt", "top.txt");
  checks.laterSourceIsUpdated("top.txt", "stick");
  checks.newerTwinIsKept("stick/a.txt");
}

// FAT keeps 2-second steps in local time; the seam keeps times so below its folder.
class CoarseClockFat : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    ASSERT_TRUE(makeFolders(destination));
    seams.reconcile.fatClockFolder = destination.c_str();
  }
  Runner here() {
    return [this](const std::vector<std::string>& options, std::string* output) {
      return runHere(options, output);
    };
  }
};

TEST_F(CoarseClockFat, TwoSecondSteps) {
  CoarseClockChecks(destination, source, here()).runAll();
}

// After a switch to or from daylight-saving time, FAT's local times read an hour off.
TEST_F(CoarseClockFat, CopiesAnHourEarlyAfterAClockChangeAreNotRecopied) {
  CoarseClockChecks checks(destination, source, here());
  checks.write("a.txt", "alpha", sourceUnits);
  checks.write("b.txt", "beta", sourceUnits + 5 * second);
  checks.firstMirrorCopiesEverything({"a.txt", "b.txt"});
  for (const char* name : {"a.txt", "b.txt"}) {
    std::string path = joinPath(destination, name);
    ASSERT_EQ(0, setFileTimes(path.c_str(), fileTimeOf(lastWriteOf(path) - 3600 * second)));
  }
  checks.nothingToDo({});
  checks.laterSourceIsUpdated("b.txt", "a.txt");
}
// A file system that takes a time and keeps the time of writing (as fusefat does):
// the copy is made, but its time was not set, and that is not reported as success.
using TimesNotKept = InProcessMirrorTest;

TEST_F(TimesNotKept, CopyIsKeptAndItsTimeReportedAsNotSet) {
  writeFile(joinPath(source, "a.txt"), "alpha", sourceUnits);
  seams.copy.timesIgnored = 1;
  std::string output;
  EXPECT_EQ(1, runHere({"-v"}, &output)) << output;
  EXPECT_TRUE(contains(output, "Failed to set the filetime !")) << output;
  EXPECT_FALSE(contains(output, "Filetime set successfully")) << output;
  std::string bytes;
  EXPECT_TRUE(readFileBytes(joinPath(destination, "a.txt"), &bytes));
  EXPECT_EQ("alpha", bytes);
  // Written after its source's time, the copy is newer than its source from now on.
  EXPECT_EQ(0, runHere(&output)) << output;
  EXPECT_TRUE(contains(output, "Nothing to do, folders are equal !")) << output;
}
}  // namespace
