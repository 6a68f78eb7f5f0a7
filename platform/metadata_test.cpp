// The metadata an exact mirror keeps, on POSIX: what the listing tells of it, the
// packed blocks of extended attributes and access lists, and setting it all on an
// open copy or on an entry in a held folder, as root, as a normal user and on a
// file system that keeps none of it.
#include "platform/metadata.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/held_tree_fixture.h"
#include "platform/mount_support.h"
#include "platform/test_support.h"

#if defined(TALVEN_POSIX)
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/file_time-posix.h"

namespace {
typedef std::vector<std::pair<std::string, std::string>> Items;

// The items of a block, in its order.
Items itemsOf(const ExtraMetadata& extra) {
  Items items;
  for (size_t at = 0; at < extra.size;) {
    std::string name(extra.bytes + at);
    at += name.size() + 1;
    uint32_t length;
    memcpy(&length, extra.bytes + at, sizeof length);
    at += sizeof length;
    items.emplace_back(name, std::string(extra.bytes + at, length));
    at += length;
  }
  return items;
}

// A POSIX access list as the kernel stores it: version 2, then tag, permissions and
// id of each entry, sorted by tag.
std::string accessList(const std::vector<std::vector<uint32_t>>& entries) {
  std::string value("\x02\0\0\0", 4);
  for (const std::vector<uint32_t>& entry : entries) {
    uint16_t tagAndPermissions[2] = {static_cast<uint16_t>(entry[0]),
                                     static_cast<uint16_t>(entry[1])};
    value.append(reinterpret_cast<const char*>(tagAndPermissions), sizeof tagAndPermissions);
    value.append(reinterpret_cast<const char*>(&entry[2]), sizeof entry[2]);
  }
  return value;
}
constexpr uint32_t anyone = 0xffffffffu;
// user::rw-, user:4321:r--, group::r--, mask::r--, other::---
const std::string fileList =
    accessList({{1, 6, anyone}, {2, 4, 4321}, {4, 4, anyone}, {16, 4, anyone}, {32, 0, anyone}});
// user::rwx, group::r-x, group:4321:rwx, mask::rwx, other::---
const std::string folderList =
    accessList({{1, 7, anyone}, {4, 5, anyone}, {8, 7, 4321}, {16, 7, anyone}, {32, 0, anyone}});

bool setItem(const std::string& path, const char* name, const std::string& value) {
  return lsetxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

EntryMetadata metadataOf(const std::string& path) {
  struct stat info;
  EXPECT_EQ(0, lstat(path.c_str(), &info)) << path;
  return EntryMetadata{static_cast<uint32_t>(info.st_mode & 07777), info.st_uid, info.st_gid, 0,
                       toFileTime(info.st_ctim)};
}

std::string describe(const MetadataOutcome& outcome) {
  char text[128];
  snprintf(text, sizeof text, "notHeld %d, notAllowed %d, failedPart %d, failure %d",
           outcome.notHeld, outcome.notAllowed, outcome.failedPart, outcome.failure);
  return text;
}

struct ListedMetadata {
  std::string name;
  EntryMetadata metadata;
};
void collectMetadata(void* context, const ListedEntry* entry) {
  static_cast<std::vector<ListedMetadata>*>(context)->push_back({entry->name, entry->metadata});
}

class MetadataTest : public HeldTreeTest {
 protected:
  void TearDown() override {
    freeExtraMetadata(&extra);
    freeExtraMetadata(&other);
    HeldTreeTest::TearDown();
  }
  std::string at(const std::string& name) const { return joinPath(root, name); }
  // What an entry holds, read into other.
  Items readIn(const std::string& name, int parts) {
    EXPECT_EQ(0, readExtraMetadataIn(held.handle, name.c_str(), parts, &other)) << name;
    return itemsOf(other);
  }
  // What a source holds, read into extra.
  void readSource(const std::string& name, int parts) {
    ASSERT_EQ(0, readExtraMetadataIn(held.handle, name.c_str(), parts, &extra)) << name;
  }
  ExtraMetadata extra = {nullptr, 0, 0};
  ExtraMetadata other = {nullptr, 0, 0};
  MetadataOutcome outcome = {0, 0, 0, 0};
  const int extraParts = metadataXattrs | metadataAcls;
};

TEST_F(MetadataTest, ListingTellsModeOwnerGroupAndChangeTimeFromItsOneLook) {
  ASSERT_TRUE(writeFileBytes(at("file"), "x"));
  ASSERT_TRUE(makeFolders(at("folder")));
  ASSERT_TRUE(makeSymlink("file", at("link")));
  ASSERT_TRUE(setPermissionBits(at("file"), 0640));
  ASSERT_TRUE(setPermissionBits(at("folder"), 01750));
  if (runningPrivileged()) {
    ASSERT_EQ(0, lchown(at("link").c_str(), 1234, 2345));
  }
  std::vector<ListedMetadata> listed;
  ASSERT_EQ(enumerateListed,
            listDirectory(root.c_str(), listLinksAsIs | listFolderTimes | listMetadata,
                          collectMetadata, &listed));
  int seen = 0;
  for (const ListedMetadata& entry : listed) {
    if (entry.name == "." || entry.name == "..") continue;
    EntryMetadata wanted = metadataOf(at(entry.name));
    EXPECT_EQ(wanted.mode, entry.metadata.mode) << entry.name;
    EXPECT_EQ(wanted.owner, entry.metadata.owner) << entry.name;
    EXPECT_EQ(wanted.group, entry.metadata.group) << entry.name;
    EXPECT_EQ(fileTimeValue(wanted.changeTime), fileTimeValue(entry.metadata.changeTime))
        << entry.name;
    EXPECT_NE(0, fileTimeValue(entry.metadata.changeTime)) << entry.name;
    ++seen;
  }
  EXPECT_EQ(3, seen);
  // Not asked for, none is given.
  listed.clear();
  ASSERT_EQ(enumerateListed,
            listDirectory(root.c_str(), listLinksAsIs | listFolderTimes, collectMetadata, &listed));
  for (const ListedMetadata& entry : listed)
    EXPECT_EQ(0u, entry.metadata.mode | entry.metadata.owner | entry.metadata.changeTime.low)
        << entry.name;
}

TEST_F(MetadataTest, BlocksHoldTheAskedKindsSortedByNameAlikeByNameOrOpenFile) {
  ASSERT_TRUE(writeFileBytes(at("file"), "x"));
  std::string large(600, 'v');
  large[7] = '\0';
  ASSERT_TRUE(setItem(at("file"), "user.b", large));
  ASSERT_TRUE(setItem(at("file"), "user.a", ""));
  ASSERT_TRUE(setItem(at("file"), "system.posix_acl_access", fileList));
  // Names enough to outgrow a first look at the list.
  for (int index = 0; index < 32; ++index) {
    std::string name = "user.many-names-for-one-file-and-more-" + std::to_string(100 + index);
    ASSERT_TRUE(setItem(at("file"), name.c_str(), std::to_string(index)));
  }
  Items xattrs = readIn("file", metadataXattrs);
  ASSERT_EQ(34u, xattrs.size());
  EXPECT_EQ(Items({{"user.a", ""}, {"user.b", large}}), Items(xattrs.begin(), xattrs.begin() + 2));
  EXPECT_EQ("user.many-names-for-one-file-and-more-100", xattrs[2].first);
  EXPECT_EQ("0", xattrs[2].second);
  EXPECT_EQ("user.many-names-for-one-file-and-more-131", xattrs[33].first);
  EXPECT_EQ(Items({{"system.posix_acl_access", fileList}}), readIn("file", metadataAcls));
  Items both = readIn("file", extraParts);
  EXPECT_EQ(35u, both.size());
  EXPECT_EQ("system.posix_acl_access", both[0].first);
  // The open file reads the same bytes, and a block compares equal only to its like.
  int file = open(at("file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);
  EXPECT_EQ(0, readExtraMetadataOf(file, extraParts, &extra));
  EXPECT_EQ(1, sameExtraMetadata(extra, other));
  ASSERT_EQ(0, fremovexattr(file, "user.a"));
  EXPECT_EQ(0, readExtraMetadataOf(file, extraParts, &extra));
  EXPECT_EQ(0, sameExtraMetadata(extra, other));
  close(file);
  // No items, no kinds asked: an empty block.
  ASSERT_TRUE(writeFileBytes(at("plain"), "x"));
  EXPECT_TRUE(readIn("plain", extraParts).empty());
  EXPECT_TRUE(readIn("file", metadataMode | metadataOwner).empty());
  EXPECT_NE(0, readExtraMetadataIn(held.handle, "missing", extraParts, &other));
}

// A new copy, open for writing, gets owner and group, the mode and the source's
// items, and loses an item the source lacks (one an inherited list gave it too).
TEST_F(MetadataTest, AnOpenCopyTakesEverythingOfItsSourceAndNothingElse) {
  bool root = runningPrivileged();
  ASSERT_TRUE(writeFileBytes(at("source"), "x"));
  ASSERT_TRUE(setItem(at("source"), "user.tag", "blue"));
  ASSERT_TRUE(setItem(at("source"), "system.posix_acl_access", fileList));
  if (root) {
    ASSERT_TRUE(setItem(at("source"), "trusted.origin", "here"));
    ASSERT_EQ(0, chown(at("source").c_str(), 1234, 2345));
    ASSERT_TRUE(setPermissionBits(at("source"), 06740));
  }
  EntryMetadata wanted = metadataOf(at("source"));
  int source = open(at("source").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(source, 0);
  ASSERT_EQ(0, readExtraMetadataOf(source, extraParts, &extra));
  close(source);
  int copy = open(at("copy").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(copy, 0);
  ASSERT_EQ(0, fsetxattr(copy, "user.stale", "x", 1, 0));
  applyMetadataTo(copy, wanted, &extra, metadataAll, &outcome);
  close(copy);
  EXPECT_EQ(0, outcome.notHeld | outcome.notAllowed | outcome.failedPart) << describe(outcome);
  EntryMetadata got = metadataOf(at("copy"));
  EXPECT_EQ(wanted.mode, got.mode);
  EXPECT_EQ(wanted.owner, got.owner);
  EXPECT_EQ(wanted.group, got.group);
  EXPECT_EQ(itemsOf(extra), readIn("copy", extraParts));
  // Asked again, nothing is left to change.
  copy = open(at("copy").c_str(), O_RDONLY | O_CLOEXEC);
  applyMetadataTo(copy, wanted, &extra, metadataAll, &outcome);
  close(copy);
  EXPECT_EQ(0, outcome.notHeld | outcome.notAllowed | outcome.failedPart) << describe(outcome);
  EXPECT_EQ(fileTimeValue(got.changeTime), fileTimeValue(metadataOf(at("copy")).changeTime));
}

TEST_F(MetadataTest, AFolderTakesItsListsAndALinkItsOwnNeverWhatItLeadsTo) {
  ASSERT_TRUE(makeFolders(at("source")));
  ASSERT_TRUE(makeFolders(at("folder")));
  ASSERT_TRUE(setItem(at("source"), "system.posix_acl_access", folderList));
  ASSERT_TRUE(setItem(at("source"), "system.posix_acl_default", folderList));
  ASSERT_TRUE(setItem(at("folder"), "user.stale", "x"));
  ASSERT_TRUE(setPermissionBits(at("source"), 02770));
  readSource("source", extraParts);
  applyMetadataIn(held.handle, "folder", entryFolder, metadataOf(at("source")), &extra, metadataAll,
                  &outcome);
  EXPECT_EQ(0, outcome.notHeld | outcome.notAllowed | outcome.failedPart) << describe(outcome);
  EXPECT_EQ(02770u, metadataOf(at("folder")).mode);
  EXPECT_EQ(itemsOf(extra), readIn("folder", extraParts));

  ASSERT_TRUE(writeFileBytes(at("target"), "x"));
  ASSERT_TRUE(setPermissionBits(at("target"), 0600));
  ASSERT_TRUE(makeSymlink("target", at("link")));
  EntryMetadata before = metadataOf(at("target"));
  EntryMetadata wanted = {0644, 1234, 2345, 0, FileTime{0, 0}};
  freeExtraMetadata(&extra);
  if (!runningPrivileged()) {
    wanted.owner = before.owner;
    wanted.group = before.group;
  } else {
    // The trusted namespace is one a link may hold (the user namespace is not).
    ASSERT_TRUE(setItem(at("link"), "trusted.old", "x"));
    ASSERT_TRUE(setItem(at("target"), "trusted.new", "y"));
    readSource("target", metadataXattrs);
  }
  applyMetadataIn(held.handle, "link", entryLink, wanted, &extra, metadataAll, &outcome);
  EXPECT_EQ(0, outcome.notHeld | outcome.notAllowed | outcome.failedPart) << describe(outcome);
  EntryMetadata link = metadataOf(at("link")), target = metadataOf(at("target"));
  EXPECT_EQ(wanted.owner, link.owner);
  EXPECT_EQ(wanted.group, link.group);
  EXPECT_EQ(0777u, link.mode);
  EXPECT_EQ(itemsOf(extra), readIn("link", metadataXattrs));
  EXPECT_EQ(before.mode, target.mode);
  EXPECT_EQ(before.owner, target.owner);
  // A link where a file was named is changed in nothing.
  applyMetadataIn(held.handle, "link", entryFile, before, nullptr, metadataAll, &outcome);
  EXPECT_NE(0, outcome.failedPart) << describe(outcome);
  EXPECT_EQ(wanted.owner, metadataOf(at("link")).owner);
  EXPECT_EQ(0600u, metadataOf(at("target")).mode);
}

TEST_F(MetadataTest, SetIdBitsAreKeptOnlyTogetherWithTheirOwner) {
  if (!runningPrivileged()) GTEST_SKIP() << "giving a file away needs root";
  ASSERT_TRUE(writeFileBytes(at("file"), "x"));
  EntryMetadata wanted = {06755, 1234, 2345, 0, FileTime{0, 0}};
  applyMetadataIn(held.handle, "file", entryFile, wanted, nullptr, metadataMode, &outcome);
  EXPECT_EQ(metadataMode, outcome.notAllowed) << describe(outcome);
  EXPECT_EQ(0755u, metadataOf(at("file")).mode);
  applyMetadataIn(held.handle, "file", entryFile, wanted, nullptr, metadataMode | metadataOwner,
                  &outcome);
  EXPECT_EQ(0, outcome.notHeld | outcome.notAllowed | outcome.failedPart) << describe(outcome);
  EntryMetadata got = metadataOf(at("file"));
  EXPECT_EQ(06755u, got.mode);
  EXPECT_EQ(1234u, got.owner);
  EXPECT_EQ(2345u, got.group);
}

// As nobody, in a folder whose group is root's and passes on to what is made in it:
// the owner stays, the group becomes nobody's own, set-user-id is dropped, a
// namespace the user may not write is left out, a read-only file still takes the
// user's items; all told, nothing failed.
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
