// Every copy is written to a file of its own and takes the destination's name only
// when it is whole: copies never share a partial file, and where none can be made
// the old destination file stays as it was, and so does every other name of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crash_support.h"
#include "run/end_to_end_fixture.h"

namespace {
using OwnFile = InProcessMirrorTest;

// Names of 250 bytes leave no room for the partial suffix: each copy gets a short
// name of its own, even with four workers and several copies waiting for one sync.
TEST_F(OwnFile, LongNamesInOneFolderEachGetTheirOwnBytes) {
  std::vector<std::string> names;
  for (char letter = 'a'; letter < 'g'; ++letter) names.push_back(std::string(250, letter));
  for (size_t i = 0; i < names.size(); ++i)
    writeFile(at({"src", "long", names[i]}), patternBytes(3u << 20, static_cast<unsigned>(i + 1)),
              sourceUnits);
  // Updates too: each replaces an older file of the same name.
  for (size_t i = 0; i < 3; ++i) writeFile(at({"dst", "long", names[i]}), "older", olderUnits);
  std::string output;
  ASSERT_EQ(exitSuccess, runHere({"--workers=4"}, &output)) << output;
  expectMirror(destination, source);
  EXPECT_EQ(names.size(), listFiles(at({"dst", "long"})).size()) << "a partial file was left";
  // And again after every source changed.
  for (size_t i = 0; i < names.size(); ++i)
    writeFile(at({"src", "long", names[i]}), patternBytes(2u << 20, static_cast<unsigned>(i + 7)),
              sourceUnits + 1);
  ASSERT_EQ(exitSuccess, runHere({"--workers=4"}, &output)) << output;
  expectMirror(destination, source);
}

// Where something stands at the partial name (a folder, here), the copy takes the
// next name; the old file is replaced whole, and a hard link to it elsewhere keeps
// the old bytes.
TEST_F(OwnFile, SomethingAtThePartialNameMakesTheCopyTakeAnother) {
  writeFile(at({"src", "a.txt"}), "new bytes", sourceUnits);
  writeFile(at({"dst", "a.txt"}), "old bytes", olderUnits);
  ASSERT_TRUE(makeFolders(at({"dst", "a.txt.talven-partial"})));
  if (!makeHardLink(at({"dst", "a.txt"}), at({"outside"})))
    GTEST_SKIP() << "hard links cannot be made here";
  std::string output;
  ASSERT_EQ(exitSuccess, runHere({"-v"}, &output)) << output;
  expectMirror(destination, source);
  std::string outside;
  ASSERT_TRUE(readFileBytes(at({"outside"}), &outside));
  EXPECT_EQ("old bytes", outside) << "the copy was written through a hard link";
  EXPECT_TRUE(pathExists(at({"dst", "a.txt.talven-partial"})));
}

class OwnFileOnLoop : public InProcessMirrorTest {
 protected:
  void TearDown() override {
    removeLoopFileSystem(&fileSystem);
    InProcessMirrorTest::TearDown();
  }
  // Mounts a small ext4 image and points the mirror into it; "" or why it cannot.
  std::string mountImage() {
    std::string reason = makeLoopFileSystem(scratch, "ext4", 16, &fileSystem);
    if (!reason.empty()) return reason;
    destination = joinPath(fileSystem.mountPoint, "dst");
    return "";
  }
  // Takes every free inode of the image with empty files; how many were made.
  int fillInodes() {
    std::string fill = joinPath(fileSystem.mountPoint, "fill");
    if (!makeFolders(fill)) return 0;
    int made = 0;
    while (makeEntryIn(fill, "f" + std::to_string(made), false)) ++made;
    return made;
  }
  LoopFileSystem fileSystem = {};
};

// No file of its own can be made: the update fails alone with its reason, the old
// file keeps its bytes and time, and its hard link elsewhere keeps its bytes.
TEST_F(OwnFileOnLoop, UpdateWithoutRoomForItsOwnFileLeavesTheOldFileWhole) {
  std::string reason = mountImage();
  if (!reason.empty()) GTEST_SKIP() << reason;
  writeFile(at({"src", "a.txt"}), patternBytes(200000, 3), sourceUnits);
  writeFile(joinPath(destination, "a.txt"), "old bytes", olderUnits);
  std::string outside = joinPath(fileSystem.mountPoint, "outside");
  ASSERT_TRUE(makeHardLink(joinPath(destination, "a.txt"), outside));
  ASSERT_GT(fillInodes(), 0);
  std::string output, errors;
  EXPECT_EQ(exitSomeFailed, runHere({"-v"}, &output, &errors)) << output;
  EXPECT_NE(std::string::npos, output.find("Cannot create file in folder !\n")) << output;
  EXPECT_NE(std::string::npos,
            errors.find("Could not create the file [" + joinPath(destination, "a.txt") + "]: "))
      << errors;
  TreeState tree = captureTree(destination);
  ASSERT_EQ(1u, tree.size()) << "something was left beside the old file";
  EXPECT_EQ("old bytes", tree["a.txt"].bytes);
  EXPECT_EQ(olderUnits, tree["a.txt"].lastWrite);
  std::string linked;
  EXPECT_TRUE(readFileBytes(outside, &linked) && linked == "old bytes");
  // With room again, the update is made, and the other name keeps the old bytes.
  removeScratchFolder(joinPath(fileSystem.mountPoint, "fill"));
  EXPECT_EQ(exitSuccess, runHere({}, &output)) << output;
  expectMirror(destination, source);
  EXPECT_TRUE(readFileBytes(outside, &linked) && linked == "old bytes");
}
}  // namespace
