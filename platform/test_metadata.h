// Helpers for the tests of an exact mirror's metadata: owners, permission bits,
// extended attributes and access lists of an entry itself (a link's own, never its
// target's). POSIX only; on Windows each says it cannot (false).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

/// An entry's permission bits (all twelve), owner and group.
struct EntryOwnership {
  int mode;
  uint32_t owner;
  uint32_t group;
};

#if defined(TALVEN_WINDOWS)
inline bool readOwnership(const std::string&, EntryOwnership*) {
  return false;
}
inline bool setOwnership(const std::string&, uint32_t, uint32_t) {
  return false;
}
inline bool setExtendedAttribute(const std::string&, const std::string&, const std::string&) {
  return false;
}
inline bool readExtendedAttribute(const std::string&, const std::string&, std::string*) {
  return false;
}
inline std::string accessListGranting(uint32_t, int) {
  return std::string();
}
inline bool currentGroupsHold(uint32_t) {
  return false;
}
#else
/// Reads the entry's bits, owner and group; false where it cannot be looked at.
bool readOwnership(const std::string& path, EntryOwnership* ownership);
/// Gives the entry itself owner and group, by number.
bool setOwnership(const std::string& path, uint32_t owner, uint32_t group);
/// Sets the extended attribute name of the entry itself to value.
bool setExtendedAttribute(const std::string& path, const std::string& name,
                          const std::string& value);
/// Reads the extended attribute name of the entry itself; false where it has none.
bool readExtendedAttribute(const std::string& path, const std::string& name, std::string* value);
/// An access list, as the value of system.posix_acl_access or _default, that gives
/// the owner, the group and others read and write, and the user of number user the
/// permissions perms (4 read, 2 write, 1 search).
std::string accessListGranting(uint32_t user, int perms);
/// True when the process belongs to group (its own or a supplementary one).
bool currentGroupsHold(uint32_t group);
#endif
