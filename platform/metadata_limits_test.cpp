// What of an entry's metadata cannot be set is told, not failed: by a normal user,
// and on a file system that keeps none of it (an exFAT stick through FUSE).
#include <gtest/gtest.h>

#include "platform/metadata.h"
#include "platform/mount_support.h"
#include "platform/test_support.h"

#if defined(TALVEN_POSIX)
#include <fcntl.h>
#include <unistd.h>

#include "platform/metadata_fixture-posix.h"

namespace {
struct NobodysChange {
  std::string folder;
  ExtraMetadata extra;  // read as root: the trusted namespace too
};

int changeAsNobody(void* context) {
  const NobodysChange& change = *static_cast<const NobodysChange*>(context);
  std::string path = joinPath(change.folder, "file");
  if (!writeFileBytes(path, "x") || !setPermissionBits(path, 0444)) return 1;
  int held = open(change.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (held < 0) return 2;
  EntryMetadata wanted = {04640, 0, getegid(), 0, FileTime{0, 0}};
  MetadataOutcome outcome;
  applyMetadataIn(held, "file", entryFile, wanted, &change.extra, metadataAll, &outcome);
  printf("%s\n", describe(outcome).c_str());
  ExtraMetadata got = {nullptr, 0, 0};
  if (readExtraMetadataIn(held, "file", metadataXattrs, &got) != 0) return 3;
  for (const auto& item : itemsOf(got)) printf("%s=%s\n", item.first.c_str(), item.second.c_str());
  EntryMetadata result = metadataOf(path);
  printf("mode %o owner %s group %s\n", result.mode, result.owner == geteuid() ? "own" : "other",
         result.group == getegid() ? "own" : "other");
  // A file the user may not open for reading is changed all the same.
  std::string writeOnly = joinPath(change.folder, "write-only");
  if (!writeFileBytes(writeOnly, "x") || !setPermissionBits(writeOnly, 0200)) return 4;
  wanted.mode = 0604;
  applyMetadataIn(held, "write-only", entryFile, wanted, nullptr, metadataMode, &outcome);
  printf("%s, mode %o\n", describe(outcome).c_str(), metadataOf(writeOnly).mode);
  freeExtraMetadata(&got);
  close(held);
  return 0;
}

TEST_F(MetadataTest, ANormalUserSetsTheGroupItBelongsToAndIsToldWhatItMayNot) {
  if (!runningPrivileged()) GTEST_SKIP() << "the test gives up root in a child";
  std::string folder = at("shared");
  ASSERT_TRUE(makeFolders(folder));
  ASSERT_TRUE(shareWithEveryone(scratch));
  ASSERT_EQ(0, chown(folder.c_str(), 0, 0));
  ASSERT_TRUE(setPermissionBits(folder, 02777));
  ASSERT_TRUE(writeFileBytes(at("source"), "x"));
  ASSERT_TRUE(setItem(at("source"), "user.tag", "blue"));
  ASSERT_TRUE(setItem(at("source"), "trusted.origin", "here"));
  readSource("source", metadataXattrs);
  ASSERT_EQ(2u, itemsOf(extra).size());
  NobodysChange change = {folder, extra};
  std::string output;
  ASSERT_EQ(0, runUnprivileged(folder, changeAsNobody, &change, &output)) << output;
  EXPECT_EQ(
      "notHeld 0, notAllowed 7, failedPart 0, failure 0\n"
      "user.tag=blue\n"
      "mode 640 owner own group own\n"
      "notHeld 0, notAllowed 0, failedPart 0, failure 0, mode 604\n",
      output);
}

class MetadataOnExfatTest : public MetadataTest {
 protected:
  void TearDown() override {
    unmountTestImage(&stick);
    MetadataTest::TearDown();
  }
  TestMount stick = {"", "", "", false};
};

TEST_F(MetadataOnExfatTest, AStickKeepsNoneOfItAndSaysSoWithoutAFailure) {
  std::string mounted = joinPath(scratch, "stick");
  std::string why =
      mountTestImage(mountExfatFuse, joinPath(scratch, "exfat.img"), mounted, 16, &stick);
  if (!why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(writeFileBytes(joinPath(mounted, "file"), "x"));
  ASSERT_TRUE(makeFolders(joinPath(mounted, "folder")));
  ASSERT_TRUE(writeFileBytes(at("source"), "x"));
  ASSERT_TRUE(setItem(at("source"), "user.tag", "blue"));
  ASSERT_TRUE(setItem(at("source"), "system.posix_acl_access", fileList));
  readSource("source", extraParts);
  int stickFolder = open(mounted.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(stickFolder, 0);
  EntryMetadata wanted = {0640, 1234, 2345, 0, FileTime{0, 0}};
  for (const char* name : {"file", "folder"}) {
    applyMetadataIn(stickFolder, name, name[1] == 'i' ? entryFile : entryFolder, wanted, &extra,
                    metadataAll, &outcome);
    EXPECT_EQ(metadataMode | metadataOwner | metadataXattrs | metadataAcls, outcome.notHeld)
        << name << ": " << describe(outcome);
    EXPECT_EQ(0, outcome.failedPart) << name << ": " << describe(outcome);
    EXPECT_EQ(0, readExtraMetadataIn(stickFolder, name, extraParts, &other)) << name;
    EXPECT_EQ(0u, other.size) << name;
  }
  close(stickFolder);
}
}  // namespace
#endif
