// --exact keeps the metadata: permission bits, owners and groups by number, extended
// attributes and access lists, on a first copy and when only they changed, with the
// data's time kept; a normal user keeps what it may and counts the rest; a stick that
// holds none of it is mirrored all the same.
#include <gtest/gtest.h>

#include <string>

#include "platform/mount_support.h"
#include "platform/test_metadata.h"
#include "run/end_to_end_fixture.h"

namespace {
const std::string separator(1, pathSeparator);
constexpr int64_t fileUnits = 130000000000000000LL;  // 2012

class ExactMetadataTest : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    EntryOwnership probe;
    ASSERT_TRUE(makeFolders(source));
    if (!readOwnership(source, &probe)) GTEST_SKIP() << "no owners and permission bits here";
  }
  std::string in(const std::string& relative) const { return source + separator + relative; }
  std::string out(const std::string& relative) const { return destination + separator + relative; }
  void write(const std::string& relative, const std::string& bytes, int mode) {
    std::string path = in(relative);
    ASSERT_TRUE(makeFolders(path.substr(0, path.rfind(pathSeparator))));
    writeFile(path, bytes, fileUnits);
    ASSERT_TRUE(setPermissionBits(path, mode));
  }
  static EntryOwnership ownershipOf(const std::string& path) {
    EntryOwnership ownership = {-1, 0, 0};
    EXPECT_TRUE(readOwnership(path, &ownership)) << path;
    return ownership;
  }
  void expectSameOwnership(const std::string& relative) {
    EntryOwnership wanted = ownershipOf(in(relative)), got = ownershipOf(out(relative));
    EXPECT_EQ(wanted.mode, got.mode) << relative;
    EXPECT_EQ(wanted.owner, got.owner) << relative;
    EXPECT_EQ(wanted.group, got.group) << relative;
  }
  static std::string attributeOf(const std::string& path, const std::string& name) {
    std::string value = "(none)";
    readExtendedAttribute(path, name, &value);
    return value;
  }
  int runExact(std::vector<std::string> more, std::string* output, std::string* errors = nullptr) {
    more.insert(more.begin(), {"--exact", "--no-sync", "--stats"});
    return runHere(more, output, errors);
  }
  void expectNothingToDo() {
    std::string output;
    EXPECT_EQ(0, runExact({}, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !")) << output;
  }
};

TEST_F(ExactMetadataTest, ModesOwnersAttributesAndAccessListsReachTheFirstCopy) {
  if (!runningPrivileged()) GTEST_SKIP() << "owners are given as root";
  write("tool", "#!/bin/sh\n", 04755);
  write("private/key", "secret", 0600);
  write("shared/notes.txt", "notes", 0640);
  write("tagged.txt", "tagged", 0444);
  ASSERT_TRUE(setPermissionBits(in("shared"), 02775));
  ASSERT_TRUE(setPermissionBits(in("private"), 0700));
  ASSERT_TRUE(setOwnership(in("private/key"), 4321, 8765));
  ASSERT_TRUE(setOwnership(in("shared"), 1234, 5678));
  ASSERT_TRUE(makeSymlink("tool", in("link")));
  ASSERT_TRUE(setOwnership(in("link"), 2222, 3333));
  // A change of owner clears set-id bits: given after it.
  ASSERT_TRUE(setOwnership(in("tool"), 0, 0));
  ASSERT_TRUE(setPermissionBits(in("tool"), 04755));
  if (!setExtendedAttribute(in("tagged.txt"), "user.xdg.tags", "red") ||
      !setExtendedAttribute(in("tagged.txt"), "trusted.origin", "camera"))
    GTEST_SKIP() << "the scratch folder takes no extended attributes";
  std::string acl = accessListGranting(4321, 4);
  bool acls = setExtendedAttribute(in("shared/notes.txt"), "system.posix_acl_access", acl) &&
              setExtendedAttribute(in("shared"), "system.posix_acl_default", acl);
  std::string output, errors;
  ASSERT_EQ(0, runExact({}, &output, &errors)) << output << errors;
  for (const char* entry :
       {"tool", "private", "private/key", "shared", "shared/notes.txt", "tagged.txt", "link"})
    expectSameOwnership(entry);
  EXPECT_EQ(04755, ownershipOf(out("tool")).mode) << "set-id bits stay with their owner";
  EXPECT_EQ("red", attributeOf(out("tagged.txt"), "user.xdg.tags"));
  EXPECT_EQ("camera", attributeOf(out("tagged.txt"), "trusted.origin"));
  if (acls) {  // where the file system keeps access lists
    EXPECT_EQ(acl, attributeOf(out("shared/notes.txt"), "system.posix_acl_access"));
    EXPECT_EQ(acl, attributeOf(out("shared"), "system.posix_acl_default"));
  }
  EXPECT_EQ(std::string::npos, output.find("metadata left out")) << output;
  expectNothingToDo();
}

TEST_F(ExactMetadataTest, MetadataChangedWithTheTimeKeptIsSetWithoutACopy) {
  write("credentials", "password", 0644);
  write("photo.jpg", "pixels", 0644);
  write("same.txt", "same", 0644);
  std::string output;
  ASSERT_EQ(0, runExact({}, &output)) << output;
  FileIdentity before = {0, 0}, after = {0, 0};
  ASSERT_EQ(0, fileIdentity(out("credentials").c_str(), &before));
  // Changes that keep the data's time: a chmod, a tag, and as root an owner.
  ASSERT_TRUE(setPermissionBits(in("credentials"), 0600));
  bool tagged = setExtendedAttribute(in("photo.jpg"), "user.rating", "5");
  if (runningPrivileged()) {
    ASSERT_TRUE(setOwnership(in("same.txt"), 1000, 1000));
  }
  int changed = 1 + tagged + runningPrivileged();
  std::string errors;
  ASSERT_EQ(0, runExact({"-v", "--log=" + at({"run.log"})}, &output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos, output.find("Changed metadata [" + out("credentials") + "]"))
      << output;
  EXPECT_NE(std::string::npos, output.find(", " + std::to_string(changed) + " changed in metadata"))
      << output;
  EXPECT_NE(std::string::npos, output.find("Done: 0 copied, 0 updated")) << output;
  std::string log;
  ASSERT_TRUE(readFileBytes(at({"run.log"}), &log));
  EXPECT_NE(std::string::npos, log.find("Changed " + separator + "credentials\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("Updated")) << log;
  ASSERT_EQ(0, fileIdentity(out("credentials").c_str(), &after));
  EXPECT_TRUE(sameFileIdentity(before, after)) << "the file itself stays";
  EXPECT_EQ(0600, ownershipOf(out("credentials")).mode);
  if (tagged) {
    EXPECT_EQ("5", attributeOf(out("photo.jpg"), "user.rating"));
  }
  if (runningPrivileged()) expectSameOwnership("same.txt");
  expectNothingToDo();
}

TEST_F(ExactMetadataTest, DataChangedWithItsTimeAndSizeKeptIsCopiedAgain) {
  write("song.mp3", "title: old", 0644);
  std::string output;
  ASSERT_EQ(0, runExact({}, &output)) << output;
  // A tagger rewrites the file and puts its time back.
  writeFile(in("song.mp3"), "title: new", fileUnits);
  std::string errors;
  ASSERT_EQ(0, runExact({"-v", "--log=" + at({"run.log"})}, &output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos,
            output.find("Changed file found " + separator + "song.mp3, updating!"))
      << output;
  std::string bytes, log;
  ASSERT_TRUE(readFileBytes(out("song.mp3"), &bytes));
  EXPECT_EQ("title: new", bytes);
  ASSERT_TRUE(readFileBytes(at({"run.log"}), &log));
  EXPECT_NE(std::string::npos, log.find("Updated " + separator + "song.mp3\t10")) << log;
  expectNothingToDo();
}

TEST_F(ExactMetadataTest, APreviewTellsAMetadataChangeAndMakesNone) {
  write("plan.txt", "plan", 0644);
  std::string output;
  ASSERT_EQ(0, runExact({}, &output)) << output;
  ASSERT_TRUE(setPermissionBits(in("plan.txt"), 0600));
  ASSERT_EQ(0, runExact({"-p", "-v", "--json"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("\"kind\":\"meta\"")) << output;
  EXPECT_NE(std::string::npos, output.find("\"metadata_changed\":1")) << output;
  EXPECT_EQ(0644, ownershipOf(out("plan.txt")).mode);
  ASSERT_EQ(0, runExact({}, &output)) << output;
  EXPECT_EQ(0600, ownershipOf(out("plan.txt")).mode);
}

// A normal user keeps the bits and the groups it belongs to; the owner stays its
// own, and what it could not keep is counted, no failure.
TEST_F(ExactMetadataTest, ANormalUserKeepsWhatItMayAndCountsTheRest) {
  if (!runningPrivileged()) GTEST_SKIP() << "the source's owners are given as root";
  const uint32_t nobodysGroup = 65534;
  write("theirs.txt", "theirs", 0640);
  write("ours.txt", "ours", 0664);
  write("setid", "tool", 0755);
  ASSERT_TRUE(setOwnership(in("theirs.txt"), 0, 0));
  ASSERT_TRUE(setOwnership(in("ours.txt"), 0, nobodysGroup));
  ASSERT_TRUE(setPermissionBits(in("setid"), 04755));
  ASSERT_TRUE(setPermissionBits(in("theirs.txt"), 0644));
  // The destination is the user's own, as a normal user's backup is.
  ASSERT_TRUE(makeFolders(destination));
  ASSERT_TRUE(setOwnership(destination, 65534, nobodysGroup));
  static std::vector<std::string> arguments;
  arguments = {destination, source, "--exact", "--no-sync", "--stats"};
  int (*body)(void*) = [](void*) -> int {
    std::string output;
    int status = runProgram(arguments, arguments[0], &output);
    printf("%s", output.c_str());
    return status;
  };
  std::string childOutput;
  int status = runUnprivileged(scratch, body, nullptr, &childOutput);
  if (status < 0) GTEST_SKIP() << "cannot run without privileges here";
  EXPECT_EQ(0, status) << childOutput;
  EntryOwnership ours = ownershipOf(out("ours.txt")), theirs = ownershipOf(out("theirs.txt"));
  EXPECT_EQ(0664, ours.mode);
  EXPECT_EQ(nobodysGroup, ours.group) << "a group the user belongs to is kept";
  EXPECT_NE(0u, ours.owner) << "the owner stays the user's own";
  EXPECT_NE(0u, theirs.group);
  EXPECT_EQ(0755, ownershipOf(out("setid")).mode) << "set-id bits go without their owner";
  EXPECT_NE(std::string::npos, childOutput.find(" metadata left out, 0 failed")) << childOutput;
}

// A stick of exFAT keeps no owners nor permission bits: each kind is left out with
// one line, and the run succeeds, this time and the next.
class ExactMetadataOnExfat : public ExactMetadataTest {
 protected:
  void TearDown() override {
    unmountTestImage(&stick);
    ExactMetadataTest::TearDown();
  }
  TestMount stick = {"", "", "", false};
};

TEST_F(ExactMetadataOnExfat, EachKindTheStickCannotHoldIsToldOnce) {
  if (!runningPrivileged()) GTEST_SKIP() << "the stick is mounted as root";
  std::string why = mountTestImage(mountExfatFuse, at({"exfat.img"}), destination, 64, &stick);
  if (!why.empty()) GTEST_SKIP() << why;
  write("a.txt", "a", 0600);
  write("folder/b.txt", "b", 0640);
  ASSERT_TRUE(setOwnership(in("a.txt"), 1234, 5678));
  bool tagged = setExtendedAttribute(in("folder/b.txt"), "user.tag", "blue");
  // Untagged files copied after a worker learned the stick keeps no attributes.
  for (int number = 0; number < 6; ++number)
    write("folder/plain" + std::to_string(number) + ".txt", "p", 0644);
  std::string output, errors;
  EXPECT_EQ(0, runExact({}, &output, &errors)) << output << errors;
  EXPECT_EQ("", errors);
  for (const char* kind : {"permission bits", "owners"}) {
    std::string line = "The destination [" + destination + "] keeps no " + kind + ": ";
    size_t at = output.find(line);
    EXPECT_NE(std::string::npos, at) << output;
    EXPECT_EQ(std::string::npos, output.find(line, at + 1)) << output;
  }
  // Counted where the source had some: the one tagged file.
  if (tagged) {
    EXPECT_NE(std::string::npos, output.find("keeps no extended attributes: 1 left out !"))
        << output;
  }
  std::string bytes;
  EXPECT_TRUE(readFileBytes(out("folder/b.txt"), &bytes));
  EXPECT_EQ("b", bytes);
  EXPECT_EQ(0, runExact({}, &output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos, output.find("Done: 0 copied, 0 updated")) << output;
  EXPECT_EQ(std::string::npos, output.find("changed in metadata")) << output;
}
// Once a writer learned that the stick holds none of any kind (owners, modes,
// attributes, access lists), a file whose source has no attributes and no access
// lists is not counted as losing them.
TEST_F(ExactMetadataOnExfat, FilesWithoutAttributesAreNotCountedAsLeftOut) {
  if (!runningPrivileged()) GTEST_SKIP() << "the stick is mounted as root";
  std::string why = mountTestImage(mountExfatFuse, at({"exfat.img"}), destination, 64, &stick);
  if (!why.empty()) GTEST_SKIP() << why;
  write("a.txt", "a", 0600);
  ASSERT_TRUE(setOwnership(in("a.txt"), 1234, 5678));
  for (int number = 0; number < 4; ++number)
    write("later/b" + std::to_string(number) + ".txt", "b", 0644);
  if (!setExtendedAttribute(in("a.txt"), "user.tag", "blue") ||
      !setExtendedAttribute(in("a.txt"), "system.posix_acl_access", accessListGranting(4321, 4)))
    GTEST_SKIP() << "the source keeps no attributes or access lists";
  // One writer, which copies a.txt, beside the root, before the files of later/.
  std::string output, errors;
  EXPECT_EQ(0, runExact({"--workers=1"}, &output, &errors)) << output << errors;
  EXPECT_NE(std::string::npos, output.find("keeps no extended attributes: 1 left out !")) << output;
  EXPECT_NE(std::string::npos, output.find("keeps no access lists: 1 left out !")) << output;
}
}  // namespace
