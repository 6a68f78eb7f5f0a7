#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>

#include "platform/test_metadata.h"

bool readOwnership(const std::string& path, EntryOwnership* ownership) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  *ownership =
      EntryOwnership{static_cast<int>(info.st_mode & 07777), static_cast<uint32_t>(info.st_uid),
                     static_cast<uint32_t>(info.st_gid)};
  return true;
}

bool setOwnership(const std::string& path, uint32_t owner, uint32_t group) {
  return lchown(path.c_str(), owner, group) == 0;
}

bool setExtendedAttribute(const std::string& path, const std::string& name,
                          const std::string& value) {
  return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

bool readExtendedAttribute(const std::string& path, const std::string& name, std::string* value) {
  char bytes[4096];
  ssize_t got = lgetxattr(path.c_str(), name.c_str(), bytes, sizeof bytes);
  if (got < 0) return false;
  value->assign(bytes, static_cast<size_t>(got));
  return true;
}

std::string accessListGranting(uint32_t user, int perms) {
  // The kernel's own form: a version, then each entry's tag, permissions and id,
  // in the order of their tags.
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const uint32_t noId = 0xFFFFFFFFu;
  std::vector<Entry> entries = {{0x01, 6, noId},
                                {0x02, static_cast<uint16_t>(perms), user},
                                {0x04, 6, noId},
                                {0x10, 7, noId},
                                {0x20, 4, noId}};
  uint32_t version = 2;
  std::string bytes(reinterpret_cast<const char*>(&version), sizeof version);
  for (const Entry& entry : entries) bytes.append(reinterpret_cast<const char*>(&entry), 8);
  return bytes;
}

bool currentGroupsHold(uint32_t group) {
  if (getegid() == group) return true;
  gid_t groups[256];
  int count = getgroups(256, groups);
  for (int i = 0; i < count; ++i)
    if (groups[i] == group) return true;
  return false;
}
