// POSIX: what a mirror writes takes its source's permission bits under the umask, so
// that a private file stays private and a script stays runnable.
#include <gtest/gtest.h>

#include <string>

#include "run/end_to_end_fixture.h"

namespace {
class PermissionBits : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    previousMask = setFileCreationMask(022);
    if (previousMask < 0) GTEST_SKIP() << "Windows gives a new file its folder's security";
  }
  void TearDown() override {
    seams.copy.blockDone = nullptr;
    if (previousMask >= 0) setFileCreationMask(previousMask);
    InProcessMirrorTest::TearDown();
  }
  // Writes a source file with the given bits.
  void writeWithBits(const std::string& path, int mode) {
    writeFile(path, "bytes of " + path, sourceUnits);
    ASSERT_TRUE(setPermissionBits(path, mode)) << path;
  }
  int previousMask = -1;
};

TEST_F(PermissionBits, NewFilesAndFoldersKeepTheSourcesBitsUnderTheUmask) {
  writeWithBits(at({"src", ".ssh", "id_rsa"}), 0600);
  ASSERT_TRUE(setPermissionBits(at({"src", ".ssh"}), 0700));
  writeWithBits(at({"src", "run.sh"}), 0755);
  writeWithBits(at({"src", "group.txt"}), 0664);
  writeWithBits(at({"src", "setuid"}), 04755);
  writeWithBits(at({"src", "readonly.txt"}), 0444);
  writeWithBits(at({"src", "shared", "f"}), 0640);
  ASSERT_TRUE(setPermissionBits(at({"src", "shared"}), 03775));
  std::string output;
  ASSERT_EQ(exitSuccess, runHere(&output)) << output;
  EXPECT_EQ(0700, permissionBits(at({"dst", ".ssh"})));
  EXPECT_EQ(0600, permissionBits(at({"dst", ".ssh", "id_rsa"})));
  EXPECT_EQ(0755, permissionBits(at({"dst", "run.sh"})));
  EXPECT_EQ(0644, permissionBits(at({"dst", "group.txt"})));     // the umask takes group write
  EXPECT_EQ(0755, permissionBits(at({"dst", "setuid"})));        // the owner is the running user
  EXPECT_EQ(0644, permissionBits(at({"dst", "readonly.txt"})));  // so that it can be updated
  EXPECT_EQ(0755, permissionBits(at({"dst", "shared"})));
  EXPECT_EQ(0640, permissionBits(at({"dst", "shared", "f"})));
  expectMirror(destination, source);
}

TEST_F(PermissionBits, AStricterUmaskNarrowsEverything) {
  setFileCreationMask(077);
  writeWithBits(at({"src", "open.txt"}), 0644);
  writeWithBits(at({"src", "tool"}), 0755);
  writeWithBits(at({"src", "folder", "f"}), 0666);
  ASSERT_TRUE(setPermissionBits(at({"src", "folder"}), 0777));
  std::string output;
  ASSERT_EQ(exitSuccess, runHere(&output)) << output;
  EXPECT_EQ(0600, permissionBits(at({"dst", "open.txt"})));
  EXPECT_EQ(0700, permissionBits(at({"dst", "tool"})));
  EXPECT_EQ(0700, permissionBits(at({"dst", "folder"})));
  EXPECT_EQ(0600, permissionBits(at({"dst", "folder", "f"})));
}

TEST_F(PermissionBits, UpdatesTakeTheSourcesBitsAndFoldersThatExistStay) {
  writeWithBits(at({"src", "folder", "a.txt"}), 0600);
  ASSERT_TRUE(setPermissionBits(at({"src", "folder"}), 0700));
  writeFile(at({"dst", "folder", "a.txt"}), "old", olderUnits);
  ASSERT_TRUE(setPermissionBits(at({"dst", "folder", "a.txt"}), 0644));
  ASSERT_TRUE(setPermissionBits(at({"dst", "folder"}), 0755));
  std::string output;
  ASSERT_EQ(exitSuccess, runHere(&output)) << output;
  EXPECT_EQ(0600, permissionBits(at({"dst", "folder", "a.txt"})));
  EXPECT_EQ(0755, permissionBits(at({"dst", "folder"})));
  expectMirror(destination, source);
}

// The widest bits the partial file showed while it was written.
int widestSeen;
std::string watchedPath;
void watchPartialFile(void*, long long) {
  widestSeen |= permissionBits(watchedPath);
}

TEST_F(PermissionBits, APartialFileIsNeverWiderThanItsFinalBits) {
  writeFile(at({"src", "secret"}), patternBytes(200000, 1), sourceUnits);
  ASSERT_TRUE(setPermissionBits(at({"src", "secret"}), 0600));
  ASSERT_TRUE(makeFolders(destination));
  widestSeen = 0;
  watchedPath = at({"dst", "secret.talven-partial"});
  seams.copy.blockDone = watchPartialFile;
  std::string output;
  ASSERT_EQ(exitSuccess, runHere(&output)) << output;
  EXPECT_EQ(0600, widestSeen);
  EXPECT_EQ(0600, permissionBits(at({"dst", "secret"})));
}

TEST_F(PermissionBits, AReadOnlySourceIsUpdatedOnALaterRun) {
  // Permissions bind only a user without privileges: the runs are made as one.
  writeWithBits(at({"src", "ro.txt"}), 0444);
  ASSERT_TRUE(makeFolders(destination));
  ASSERT_TRUE(shareWithEveryone(scratch));
  std::string output;
  int status = runProgramUnprivileged({destination, source}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  ASSERT_EQ(exitSuccess, status) << output;
  EXPECT_EQ(0644, permissionBits(at({"dst", "ro.txt"})));
  ASSERT_TRUE(setPermissionBits(at({"src", "ro.txt"}), 0644));
  writeFile(at({"src", "ro.txt"}), "changed", sourceUnits + 10000000);
  ASSERT_TRUE(setPermissionBits(at({"src", "ro.txt"}), 0444));
  EXPECT_EQ(exitSuccess, runProgramUnprivileged({destination, source, "-v"}, scratch, &output))
      << output;
  EXPECT_NE(std::string::npos, output.find("Newer file found")) << output;
  expectMirror(destination, source);
}
}  // namespace
