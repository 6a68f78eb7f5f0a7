// POSIX bodies of the extra metadata: extended attributes and access lists, read
// into a packed block sorted by name, compared, and set on another entry so that it
// holds the same items and no others.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "platform/metadata.h"
#include "platform/metadata_target-posix.h"

namespace {
constexpr const char accessListName[] = "system.posix_acl_access";
constexpr const char defaultListName[] = "system.posix_acl_default";
constexpr size_t lengthBytes = sizeof(uint32_t);

// True where /proc shows this process's descriptors, asked once.
bool procDescriptorsShown() {
  static const bool shown = access("/proc/self/fd", X_OK) == 0;
  return shown;
}

bool viaPath(const MetadataTarget& target) {
  return target.attributeFile < 0;
}

ssize_t listNames(const MetadataTarget& target, char* names, size_t size) {
  if (viaPath(target)) return llistxattr(target.attributePath, names, size);
  return flistxattr(target.attributeFile, names, size);
}

ssize_t getValue(const MetadataTarget& target, const char* name, void* value, size_t size) {
  if (viaPath(target)) return lgetxattr(target.attributePath, name, value, size);
  return fgetxattr(target.attributeFile, name, value, size);
}

int setValue(const MetadataTarget& target, const char* name, const void* value, size_t size) {
  if (viaPath(target)) return lsetxattr(target.attributePath, name, value, size, 0);
  return fsetxattr(target.attributeFile, name, value, size, 0);
}

int removeValue(const MetadataTarget& target, const char* name) {
  if (viaPath(target)) return lremovexattr(target.attributePath, name);
  return fremovexattr(target.attributeFile, name);
}

bool notSupported(int code) {
  return code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS;
}

int reserve(ExtraMetadata* extra, size_t more) {
  if (extra->capacity - extra->size >= more) return 0;
  size_t capacity = std::max(extra->capacity * 2, extra->size + more + 256);
  char* bytes = static_cast<char*>(realloc(extra->bytes, capacity));
  if (!bytes) return ENOMEM;
  extra->bytes = bytes;
  extra->capacity = capacity;
  return 0;
}

// Appends one item, reading its value straight into the block. 0 when appended or
// gone since it was listed, or unreadable to this process (left out), else errno.
int appendItem(const MetadataTarget& target, const char* name, ExtraMetadata* extra) {
  size_t nameBytes = strlen(name) + 1;
  size_t room = 256;
  for (;;) {
    if (int failed = reserve(extra, nameBytes + lengthBytes + room)) return failed;
    char* item = extra->bytes + extra->size;
    ssize_t length = getValue(target, name, item + nameBytes + lengthBytes,
                              extra->capacity - extra->size - nameBytes - lengthBytes);
    if (length >= 0) {
      memcpy(item, name, nameBytes);
      uint32_t stored = static_cast<uint32_t>(length);
      memcpy(item + nameBytes, &stored, lengthBytes);
      extra->size += nameBytes + lengthBytes + static_cast<size_t>(length);
      return 0;
    }
    if (errno == ENODATA || errno == EPERM || errno == EACCES) return 0;
    if (errno != ERANGE) return errno;
    ssize_t needed = getValue(target, name, nullptr, 0);
    if (needed < 0) return errno == ENODATA ? 0 : errno;
    room = static_cast<size_t>(needed) + 64;  // it may grow meanwhile
  }
}

// The names of the entry's items, NUL-separated, into *names (the caller frees it
// where it differs from buffer); their bytes, or -1 with errno.
ssize_t readNames(const MetadataTarget& target, char* buffer, size_t size, char** names) {
  *names = buffer;
  ssize_t length = listNames(target, buffer, size);
  while (length < 0 && errno == ERANGE) {
    ssize_t needed = listNames(target, nullptr, 0);
    if (needed < 0) return -1;
    if (*names != buffer) free(*names);
    *names = static_cast<char*>(malloc(static_cast<size_t>(needed) + 1));
    if (!*names) {
      errno = ENOMEM;
      return -1;
    }
    length = listNames(target, *names, static_cast<size_t>(needed) + 1);
  }
  return length;
}

// One item of a block from offset on; false at its end.
struct Item {
  const char* name;
  const char* value;
  uint32_t length;
};
bool nextItem(const ExtraMetadata& extra, size_t* offset, Item* item) {
  if (*offset >= extra.size) return false;
  item->name = extra.bytes + *offset;
  size_t nameBytes = strlen(item->name) + 1;
  memcpy(&item->length, extra.bytes + *offset + nameBytes, lengthBytes);
  item->value = extra.bytes + *offset + nameBytes + lengthBytes;
  *offset += nameBytes + lengthBytes + item->length;
  return true;
}

// The next item of the kinds in parts; false at the block's end.
bool nextItemOf(const ExtraMetadata& extra, int parts, size_t* offset, Item* item) {
  while (nextItem(extra, offset, item))
    if (metadataKindOfName(item->name) & parts) return true;
  return false;
}

// Sets or removes one item; stops nothing, files what it met.
void changeItem(const MetadataTarget& target, const Item* set, const char* removed,
                MetadataOutcome* outcome) {
  const char* name = set ? set->name : removed;
  int kind = metadataKindOfName(name);
  if ((outcome->notHeld & kind)) return;
  int failed = set ? setValue(target, name, set->value, set->length) : removeValue(target, name);
  if (failed != 0 && !(removed && errno == ENODATA)) noteMetadataFailure(outcome, kind, errno, 0);
}
}  // namespace

int metadataKindOfName(const char* name) {
  if (strcmp(name, accessListName) == 0 || strcmp(name, defaultListName) == 0) return metadataAcls;
  return strncmp(name, "system.", 7) == 0 ? 0 : metadataXattrs;
}

void reachMetadataTargetIn(MetadataTarget* target, int folder, const char* name, int kind) {
  *target = MetadataTarget{-1, folder, name, kind, {0}, -1};
  int written = snprintf(target->attributePath, sizeof target->attributePath, "/proc/self/fd/%d/%s",
                         folder, name);
  if (procDescriptorsShown() && written > 0 && written < static_cast<int>(PATH_MAX)) return;
  target->attributePath[0] = '\0';
  if (kind != entryLink)
    target->attributeFile =
        openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

void reachMetadataTargetOf(MetadataTarget* target, int file) {
  *target = MetadataTarget{file, -1, nullptr, entryFile, {0}, file};
}

void closeMetadataTarget(MetadataTarget* target) {
  if (target->file < 0 && target->attributeFile >= 0) close(target->attributeFile);
  target->attributeFile = -1;
}

int readTargetExtra(const MetadataTarget& target, int parts, ExtraMetadata* extra) {
  extra->size = 0;
  if (!(parts & (metadataXattrs | metadataAcls))) return 0;
  // Without /proc and without a descriptor of its own (a link), nothing is read.
  if (viaPath(target) && target.attributePath[0] == '\0') return 0;
  char buffer[1024];
  char* names;
  ssize_t length = readNames(target, buffer, sizeof buffer, &names);
  if (length < 0) return notSupported(errno) ? 0 : errno;
  const char* sorted[512];
  const char** order = sorted;
  size_t count = 0, room = sizeof sorted / sizeof sorted[0];
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(strlen(names + at)) + 1)
    if (metadataKindOfName(names + at) & parts) ++count;
  if (count > room) order = static_cast<const char**>(malloc(count * sizeof *order));
  int failed = order ? 0 : ENOMEM;
  for (ssize_t at = 0, item = 0; !failed && at < length; at += strlen(names + at) + 1)
    if (metadataKindOfName(names + at) & parts) order[item++] = names + at;
  if (!failed)
    std::sort(order, order + count, [](const char* a, const char* b) { return strcmp(a, b) < 0; });
  for (size_t item = 0; !failed && item < count; ++item)
    failed = appendItem(target, order[item], extra);
  if (order != sorted) free(order);
  if (names != buffer) free(names);
  return failed;
}

void applyTargetExtra(const MetadataTarget& target, const ExtraMetadata& wanted, int parts,
                      MetadataOutcome* outcome) {
  parts &= metadataXattrs | metadataAcls;
  if (!parts) return;
  ExtraMetadata held = {nullptr, 0, 0};
  if (int failed = readTargetExtra(target, parts, &held)) {
    noteMetadataFailure(outcome, parts & metadataXattrs ? metadataXattrs : metadataAcls, failed, 0);
    return;
  }
  // Both blocks are sorted by name: one walk finds what to remove, set and keep.
  size_t wantedAt = 0, heldAt = 0;
  Item want, have;
  bool moreWanted = nextItemOf(wanted, parts, &wantedAt, &want);
  bool moreHeld = nextItemOf(held, parts, &heldAt, &have);
  while (moreWanted || moreHeld) {
    int order = !moreHeld ? -1 : !moreWanted ? 1 : strcmp(want.name, have.name);
    if (order > 0) {
      changeItem(target, nullptr, have.name, outcome);
    } else if (order < 0 || want.length != have.length ||
               memcmp(want.value, have.value, want.length) != 0) {
      changeItem(target, &want, nullptr, outcome);
    }
    if (order <= 0) moreWanted = nextItemOf(wanted, parts, &wantedAt, &want);
    if (order >= 0) moreHeld = nextItemOf(held, parts, &heldAt, &have);
  }
  freeExtraMetadata(&held);
}

void freeExtraMetadata(ExtraMetadata* extra) {
  free(extra->bytes);
  *extra = ExtraMetadata{nullptr, 0, 0};
}

int readExtraMetadataIn(FolderHandle folder, const char* name, int parts, ExtraMetadata* extra) {
  MetadataTarget target;
  reachMetadataTargetIn(&target, static_cast<int>(folder), name, entryFile);
  int failed = readTargetExtra(target, parts, extra);
  closeMetadataTarget(&target);
  return failed;
}

int readExtraMetadataOf(FileHandle file, int parts, ExtraMetadata* extra) {
  MetadataTarget target;
  reachMetadataTargetOf(&target, static_cast<int>(file));
  return readTargetExtra(target, parts, extra);
}

int sameExtraMetadata(const ExtraMetadata& a, const ExtraMetadata& b) {
  return a.size == b.size && (a.size == 0 || memcmp(a.bytes, b.bytes, a.size) == 0);
}

int extraMetadataKinds(const ExtraMetadata& extra) {
  int kinds = 0;
  size_t offset = 0;
  Item item;
  while (nextItem(extra, &offset, &item)) kinds |= metadataKindOfName(item.name);
  return kinds;
}

ssize_t readTargetItem(const MetadataTarget& target, const char* name, void* value, size_t size) {
  return getValue(target, name, value, size);
}

int writeTargetItem(const MetadataTarget& target, const char* name, const void* value,
                    size_t size) {
  return setValue(target, name, value, size);
}
