// Whole runs meeting faults: folders and files the run may not read, write or delete,
// a full destination, sources that change under the copy, and links that lead out of
// the destination. Whatever happens, no file is lost and no failure passes as done.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/settings.h"
#include "run/end_to_end_fixture.h"
#include "run/run.h"

namespace {
class FaultInjection : public InProcessMirrorTest {
 protected:
  void TearDown() override {
    setInterruptRequested(0);
    InProcessMirrorTest::TearDown();
  }
};

const char* const noPermissions = "permissions do not bind a Windows run the same way";

TEST_F(FaultInjection, UnreadableSourceFolderDeletesNothing) {
  if (platformIsWindows) GTEST_SKIP() << noPermissions;
  writeFile(at({"src", "a", "new.txt"}), "new", sourceUnits);
  writeFile(at({"src", "locked", "g.txt"}), "g", sourceUnits);
  writeFile(at({"dst", "locked", "g.txt"}), "g of the destination", olderUnits);
  writeFile(at({"dst", "stale.txt"}), "only in the destination", olderUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_TRUE(setListable(at({"src", "locked"}), false));
  TreeState before = captureTree(destination);
  std::string output;
  int status = runProgramUnprivileged({destination, source}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  // Printed without -v: the user must learn that the mirror is not complete.
  EXPECT_NE(std::string::npos,
            output.find("No file was deleted: the source folder could not be listed "
                        "completely !\n"))
      << output;
  TreeState after = captureTree(destination);
  EXPECT_TRUE(before.at("stale.txt") == after["stale.txt"]);
  EXPECT_TRUE(before.at("locked/g.txt") == after["locked/g.txt"]);
  EXPECT_EQ("new", after["a/new.txt"].bytes);
}

TEST_F(FaultInjection, UndeletableDestinationFileIsReported) {
  if (platformIsWindows) GTEST_SKIP() << noPermissions;
  writeFile(at({"src", "kept.txt"}), "kept", sourceUnits);
  writeFile(at({"dst", "kept.txt"}), "kept", sourceUnits);
  writeFile(at({"dst", "fixed", "stale.txt"}), "stale", olderUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_TRUE(setWritable(at({"dst", "fixed"}), false));
  std::string output;
  int status = runProgramUnprivileged({destination, source, "-v"}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  std::string stale = at({"dst", "fixed", "stale.txt"});
  EXPECT_NE(std::string::npos, output.find("Failed to delete [" + stale + "]\n")) << output;
  EXPECT_EQ(std::string::npos, output.find("Nothing to do")) << output;
  std::string bytes;
  EXPECT_TRUE(readFileBytes(stale, &bytes) && bytes == "stale");
}

TEST_F(FaultInjection, UnwritableDestinationFileKeepsContentAndTime) {
  if (platformIsWindows) GTEST_SKIP() << noPermissions;
  writeFile(at({"src", "file.txt"}), "new content", sourceUnits);
  writeFile(at({"dst", "file.txt"}), "old", olderUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_TRUE(setWritable(at({"dst", "file.txt"}), false));
  TreeState before = captureTree(destination);
  std::string output;
  int status = runProgramUnprivileged({destination, source, "-v"}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  EXPECT_NE(std::string::npos, output.find("Cannot create file in folder !\n")) << output;
  expectUnchanged(before, destination);
}

TEST_F(FaultInjection, UnlistableDestinationFolderKeepsNewerFiles) {
  if (platformIsWindows) GTEST_SKIP() << noPermissions;
  // The folder cannot be listed, but its files can be written: the copies of its
  // source files land on files the run never compared.
  writeFile(at({"src", "x", "edited.txt"}), "older source", olderUnits);
  writeFile(at({"src", "x", "stale.txt"}), "newer source", sourceUnits);
  writeFile(at({"dst", "x", "edited.txt"}), "newer destination", sourceUnits);
  writeFile(at({"dst", "x", "stale.txt"}), "older destination", olderUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_TRUE(makeWriteOnlyFolder(at({"dst", "x"})));
  std::string output;
  int status = runProgramUnprivileged({destination, source, "-v"}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  ASSERT_TRUE(shareWithEveryone(destination));
  TreeState after = captureTree(destination);
  EXPECT_EQ("newer destination", after["x/edited.txt"].bytes) << output;
  EXPECT_EQ(sourceUnits, after["x/edited.txt"].lastWrite);
  EXPECT_EQ("newer source", after["x/stale.txt"].bytes) << output;
}

TEST_F(FaultInjection, UnlistableDestinationFolderIsNeverCalledEqual) {
  if (platformIsWindows) GTEST_SKIP() << noPermissions;
  // Everything the run could see is equal, but a folder it could not see may hold
  // anything: the folders are not known to be equal.
  writeFile(at({"src", "same.txt"}), "same", sourceUnits);
  writeFile(at({"dst", "same.txt"}), "same", sourceUnits);
  writeFile(at({"dst", "hidden", "unknown.txt"}), "unknown", sourceUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_TRUE(makeWriteOnlyFolder(at({"dst", "hidden"})));
  std::string output;
  int status = runProgramUnprivileged({destination, source, "-v"}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  EXPECT_NE(std::string::npos,
            output.find("The destination folder could not be listed completely !\n"))
      << output;
  EXPECT_EQ(std::string::npos, output.find("Nothing to do")) << output;
}

TEST_F(FaultInjection, UnreadableSourceFileIsNeitherCopiedNorUpdated) {
  if (platformIsWindows) GTEST_SKIP() << noPermissions;
  writeFile(at({"src", "secret.bin"}), "secret", sourceUnits);
  writeFile(at({"src", "changed.bin"}), "changed", sourceUnits);
  writeFile(at({"dst", "changed.bin"}), "older", olderUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  // Every right taken away: the run lists these files but cannot open them.
  ASSERT_TRUE(setListable(at({"src", "secret.bin"}), false));
  ASSERT_TRUE(setListable(at({"src", "changed.bin"}), false));
  TreeState before = captureTree(destination);
  std::string output;
  int status = runProgramUnprivileged({destination, source}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  expectUnchanged(before, destination);
}

TEST_F(FaultInjection, FullDestinationLeavesNoPartialFileAndNextRunFinishes) {
  if (platformIsWindows || !runningPrivileged())
    GTEST_SKIP() << "mounting a small file system needs a privileged POSIX run";
  ASSERT_TRUE(makeFolders(destination));
  if (!mountSmallFileSystem(destination, 256))
    GTEST_SKIP() << "cannot mount a 256 KiB file system here";
  mounted.push_back(destination);
  // The filler leaves too little room for the big file; only the deletions that come
  // after the copies free it.
  writeFile(at({"dst", "filler.bin"}), patternBytes(150 * 1024, 1), olderUnits);
  writeFile(at({"src", "big.bin"}), patternBytes(200 * 1024, 2), sourceUnits);
  writeFile(at({"src", "small.txt"}), "small", sourceUnits);
  std::string output;
  EXPECT_EQ(1, run({destination, source, "-v"}, &output)) << output;
  EXPECT_FALSE(pathExists(at({"dst", "big.bin"}))) << output;
  EXPECT_FALSE(pathExists(at({"dst", "filler.bin"}))) << output;
  EXPECT_EQ(0, run({destination, source}, &output)) << output;
  expectMirror(destination, source);
  EXPECT_EQ(0, run({destination, source}, &output));
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}

// The copier's block hook acts between the listing and a copy, or during one.
std::string changingSource;
std::string truncatedBytes;
void removeChangingSource(void*, long long) {
  if (!changingSource.empty()) deleteFile(changingSource.c_str());
  changingSource.clear();
}
void truncateChangingSource(void*, long long) {
  if (!changingSource.empty()) writeFileBytes(changingSource, truncatedBytes);
  changingSource.clear();
}

TEST_F(FaultInjection, SourceRemovedBetweenListingAndCopy) {
  // The file the copy pass is to read is removed once both trees are listed, while
  // an update is there to be made first.
  writeFile(at({"src", "update.bin"}), patternBytes(100000, 3), sourceUnits);
  writeFile(at({"dst", "update.bin"}), "older", olderUnits);
  writeFile(at({"src", "gone.txt"}), "listed, then removed", sourceUnits);
  changingSource = at({"src", "gone.txt"});
  seams.scansEnded = [](void*) { removeChangingSource(nullptr, 0); };
  std::string output;
  // Gone since the listing: told, and no failure.
  EXPECT_EQ(0, runHere(&output)) << output;
  seams.scansEnded = nullptr;
  EXPECT_TRUE(changingSource.empty()) << "the hook never ran";
  EXPECT_FALSE(pathExists(at({"dst", "gone.txt"})));
  EXPECT_NE(std::string::npos, output.find("Vanished from the source since it was listed [" +
                                           at({"src", "gone.txt"}) + "]\n"))
      << output;
  EXPECT_EQ(0, runHere(&output)) << output;
  expectMirror(destination, source);
}

TEST_F(FaultInjection, SourceTruncatedDuringCopy) {
  std::string bytes = patternBytes(200000, 4);
  writeFile(at({"src", "shrinking.bin"}), bytes, sourceUnits);
  const size_t cuts[] = {50000, 10000};  // beyond and before what was already copied
  for (size_t cut : cuts) {
    destination = at({"dst-" + std::to_string(cut)});
    writeFile(at({"src", "shrinking.bin"}), bytes, sourceUnits);
    changingSource = at({"src", "shrinking.bin"});
    truncatedBytes = bytes.substr(0, cut);
    seams.copy.blockDone = truncateChangingSource;
    std::string output;
    runHere(&output);
    seams.copy.blockDone = nullptr;
    EXPECT_TRUE(changingSource.empty()) << "the hook never ran";
    // Whatever the copy holds, it must not pass for current: a later run updates it.
    TreeState copied = captureTree(destination);
    TreeState now = captureTree(source);
    if (copied.count("shrinking.bin") && !(copied["shrinking.bin"] == now["shrinking.bin"])) {
      EXPECT_LT(copied["shrinking.bin"].lastWrite, now["shrinking.bin"].lastWrite) << cut;
    }
    EXPECT_EQ(0, runHere(&output)) << output;
    expectMirror(destination, source);
  }
}

TEST_F(FaultInjection, DestinationPipeNeverBlocksTheRun) {
  if (platformIsWindows) GTEST_SKIP() << "the test makes a POSIX named pipe";
  // Opening a named pipe for writing waits for a reader that never comes.
  writeFile(at({"src", "pipe"}), "a file in the source", sourceUnits);
  ASSERT_TRUE(makeFolders(destination));
  ASSERT_TRUE(makeFifo(at({"dst", "pipe"})));
  RunningProgram program;
  ASSERT_TRUE(startProgram({destination, source, "-v"}, scratch, &program));
  for (int waited = 0; waited < 1000 && programRunning(program); ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  bool hung = programRunning(program);
  if (hung) signalProgram(program, signalKill);
  std::string output;
  int status = waitProgram(&program, &output);
  ASSERT_FALSE(hung) << "the run still waited after 10 s: " << output;
  EXPECT_NE(2, status) << output;
  if (status == 0) expectMirror(destination, source);
}

TEST_F(FaultInjection, DestinationLinksSurviveSourceWithoutTheirNames) {
  writeFile(at({"outside", "folder", "sub.txt"}), "outside sub", olderUnits);
  writeFile(at({"outside", "file.txt"}), "outside file", olderUnits);
  writeFile(at({"src", "other.txt"}), "other", sourceUnits);
  ASSERT_TRUE(makeFolders(destination));
  if (!makeSymlink(at({"outside", "folder"}), at({"dst", "linkdir"})) ||
      !makeSymlink(at({"outside", "file.txt"}), at({"dst", "linkfile"})))
    GTEST_SKIP() << "cannot make symbolic links here";
  TreeState outside = captureTree(at({"outside"}));
  std::string output;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(0, run({destination, source, "-v"}, &output)) << output;
    expectUnchanged(outside, at({"outside"}));
  }
}

TEST_F(FaultInjection, DestinationLinkWhereTheCopyIsFirstWritten) {
  // A copy is written beside its destination, under the name with ".talven-partial"
  // added, and takes its place when complete: a link of that name must not take the
  // copy outside the tree either.
  writeFile(at({"outside", "victim.txt"}), "outside file", olderUnits);
  writeFile(at({"src", "a.txt"}), "source content", sourceUnits);
  ASSERT_TRUE(makeFolders(destination));
  if (!makeSymlink(at({"outside", "victim.txt"}), at({"dst", "a.txt.talven-partial"})))
    GTEST_SKIP() << "cannot make symbolic links here";
  TreeState outside = captureTree(at({"outside"}));
  std::string output;
  EXPECT_EQ(0, run({destination, source, "-v"}, &output)) << output;
  expectUnchanged(outside, at({"outside"}));
  expectMirror(destination, source);
}

TEST_F(FaultInjection, DestinationLinksNeverLeadWritesOutside) {
  writeFile(at({"outside", "folder", "sub.txt"}), "outside sub", olderUnits);
  writeFile(at({"outside", "file.txt"}), "outside file", olderUnits);
  // The source has files where the destination has links, and files below the
  // folder link's name, in an existing and in a missing folder.
  writeFile(at({"src", "linkfile"}), "source linkfile", sourceUnits);
  writeFile(at({"src", "linkdir", "sub.txt"}), "source sub", sourceUnits);
  writeFile(at({"src", "linkdir", "deeper", "new.txt"}), "source new", sourceUnits);
  ASSERT_TRUE(makeFolders(destination));
  if (!makeSymlink(at({"outside", "folder"}), at({"dst", "linkdir"})) ||
      !makeSymlink(at({"outside", "file.txt"}), at({"dst", "linkfile"})))
    GTEST_SKIP() << "cannot make symbolic links here";
  TreeState outside = captureTree(at({"outside"}));
  for (int round = 0; round < 2; ++round) {
    std::string output;
    int status = run({destination, source, "-v"}, &output);
    expectUnchanged(outside, at({"outside"}));
    EXPECT_FALSE(pathExists(at({"outside", "folder", "deeper"}))) << output;
    // Success may only be claimed for a true mirror.
    if (status == 0) expectMirror(destination, source);
  }
}
}  // namespace
