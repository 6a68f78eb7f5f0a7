// POSIX only: helpers of the metadata tests: blocks as lists of items, access lists
// in the form the kernel stores them, and a held scratch tree to read and set them in.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/file_time-posix.h"
#include "platform/held_tree_fixture.h"
#include "platform/metadata.h"
#include "platform/test_support.h"

typedef std::vector<std::pair<std::string, std::string>> Items;

// The items of a block, in its order.
inline Items itemsOf(const ExtraMetadata& extra) {
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
inline std::string accessList(const std::vector<std::vector<uint32_t>>& entries) {
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
inline const std::string fileList =
    accessList({{1, 6, anyone}, {2, 4, 4321}, {4, 4, anyone}, {16, 4, anyone}, {32, 0, anyone}});
// user::rwx, group::r-x, group:4321:rwx, mask::rwx, other::---
inline const std::string folderList =
    accessList({{1, 7, anyone}, {4, 5, anyone}, {8, 7, 4321}, {16, 7, anyone}, {32, 0, anyone}});

inline bool setItem(const std::string& path, const char* name, const std::string& value) {
  return lsetxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

inline EntryMetadata metadataOf(const std::string& path) {
  struct stat info;
  EXPECT_EQ(0, lstat(path.c_str(), &info)) << path;
  return EntryMetadata{static_cast<uint32_t>(info.st_mode & 07777), info.st_uid, info.st_gid, 0,
                       toFileTime(info.st_ctim)};
}

inline std::string describe(const MetadataOutcome& outcome) {
  char text[128];
  snprintf(text, sizeof text, "notHeld %d, notAllowed %d, failedPart %d, failure %d",
           outcome.notHeld, outcome.notAllowed, outcome.failedPart, outcome.failure);
  return text;
}

struct ListedMetadata {
  std::string name;
  EntryMetadata metadata;
};
inline void collectMetadata(void* context, const ListedEntry* entry) {
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
