// The metadata an exact mirror keeps, on POSIX: what the listing tells of it, the
// packed blocks of extended attributes and access lists, and setting it all on an
// open copy or on an entry in a held folder.
#include "platform/metadata.h"

#include <gtest/gtest.h>

#include "platform/test_support.h"

#if defined(TALVEN_POSIX)
#include <fcntl.h>
#include <unistd.h>

#include "platform/metadata_fixture-posix.h"

namespace {

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
  EXPECT_EQ(extraParts, extraMetadataKinds(extra));
  EXPECT_EQ(0, readExtraMetadataOf(file, metadataAcls, &extra));
  EXPECT_EQ(metadataAcls, extraMetadataKinds(extra));
  EXPECT_EQ(0, readExtraMetadataOf(file, extraParts, &extra));
  ASSERT_EQ(0, fremovexattr(file, "user.a"));
  EXPECT_EQ(0, readExtraMetadataOf(file, extraParts, &extra));
  EXPECT_EQ(0, sameExtraMetadata(extra, other));
  close(file);
  // No items, no kinds asked: an empty block.
  ASSERT_TRUE(writeFileBytes(at("plain"), "x"));
  EXPECT_TRUE(readIn("plain", extraParts).empty());
  EXPECT_EQ(0, readExtraMetadataIn(held.handle, "plain", extraParts, &extra));
  EXPECT_EQ(0, extraMetadataKinds(extra));
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
}  // namespace
#endif
