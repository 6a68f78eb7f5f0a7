// POSIX bodies of setting an entry's metadata: owner and group, then the extended
// attributes (among them file capabilities, which a change of owner clears), then
// the permission bits, then the access lists (an access list sets the group bits).
// What the process may not set is left as it is and told, never failed.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include "platform/metadata.h"
#include "platform/metadata_target-posix.h"

namespace {
constexpr unsigned setIdBits = S_ISUID | S_ISGID;

// Whether the process holds the capability (Linux) or is root (elsewhere). Asked
// where it decides, never kept: a forked child may have given it up.
bool processHolds(int capability) {
#if defined(__linux__)
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) == 0)
    return (data[capability / 32].effective >> (capability % 32)) & 1u;
#else
  (void)capability;
#endif
  return geteuid() == 0;
}

bool memberOf(gid_t group) {
  if (getegid() == group) return true;
  gid_t groups[256];
  int count = getgroups(256, groups);
  for (int index = 0; index < count; ++index)
    if (groups[index] == group) return true;
  return false;
}

int changeOwner(const MetadataTarget& target, uid_t owner, gid_t group) {
  if (target.file >= 0) return fchown(target.file, owner, group);
  return fchownat(target.folder, target.name, owner, group, AT_SYMLINK_NOFOLLOW);
}

// Never through a link: the entry is opened without following one, or where that
// open is refused (a file the process may not read), changed by a call that refuses
// a link.
int changeMode(const MetadataTarget& target, mode_t mode) {
  if (target.file >= 0) return fchmod(target.file, mode);
  int entry =
      openat(target.folder, target.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (entry < 0) return fchmodat(target.folder, target.name, mode, AT_SYMLINK_NOFOLLOW);
  int failed = fchmod(entry, mode);
  int error = errno;
  close(entry);
  errno = error;
  return failed;
}

// Owner and group as the process may: the owner only with the right to give files
// away, the group also where the process belongs to it. Updates info to what holds.
void applyOwner(const MetadataTarget& target, const EntryMetadata& metadata, struct stat* info,
                MetadataOutcome* outcome) {
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  // The right is asked only where an owner differs: a copy whose owner and group are
  // the source's already makes no call for it.
  bool differs = info->st_uid != metadata.owner || info->st_gid != metadata.group;
  bool privileged = differs && processHolds(CAP_CHOWN);
  if (info->st_uid != metadata.owner) {
    if (privileged)
      owner = metadata.owner;
    else
      outcome->notAllowed |= metadataOwner;
  }
  if (info->st_gid != metadata.group) group = metadata.group;
  if (owner == static_cast<uid_t>(-1) && group == static_cast<gid_t>(-1)) return;
  if (changeOwner(target, owner, group) != 0) {
    // Refused where the process may make the change: the file system keeps no owners.
    bool mayChange = privileged || (info->st_uid == geteuid() && memberOf(metadata.group));
    noteMetadataFailure(outcome, metadataOwner, errno, mayChange);
    return;
  }
  if (owner != static_cast<uid_t>(-1)) info->st_uid = owner;
  if (group != static_cast<gid_t>(-1)) info->st_gid = group;
  // A change of owner clears set-id bits; the mode is set after it.
  info->st_mode &= ~static_cast<mode_t>(setIdBits);
}

// The permission bits; set-id bits only where the entry has the source's owner
// (set-user-id) and group (set-group-id), else dropped and told. A file system that
// takes a change without keeping it (exFAT) keeps no permission bits.
void applyMode(const MetadataTarget& target, const EntryMetadata& metadata, const struct stat& info,
               MetadataOutcome* outcome) {
  mode_t wanted = static_cast<mode_t>(metadata.mode & 07777u);
  if ((wanted & S_ISUID) && info.st_uid != metadata.owner) wanted &= ~static_cast<mode_t>(S_ISUID);
  if ((wanted & S_ISGID) && info.st_gid != metadata.group) wanted &= ~static_cast<mode_t>(S_ISGID);
  if (wanted != (metadata.mode & 07777u)) outcome->notAllowed |= metadataMode;
  if ((info.st_mode & 07777) == wanted) return;
  if (changeMode(target, wanted) != 0) {
    bool mayChange = info.st_uid == geteuid() || processHolds(CAP_FOWNER);
    noteMetadataFailure(outcome, metadataMode, errno, mayChange);
    return;
  }
  struct stat after;
  if (statMetadataTarget(target, &after) != 0) return;
  mode_t kept = after.st_mode & 07777;
  if ((kept & ~setIdBits) != (wanted & ~setIdBits))
    outcome->notHeld |= metadataMode;
  else if (kept != wanted)
    outcome->notAllowed |= metadataMode;  // set-id bits the system dropped
}

// Owner and group, keeping what a change of them clears (set-id bits, a file's
// capabilities) where nothing set after it gives that back: a twin whose owner alone
// differed keeps the source's set-id bits and capabilities it had.
void applyOwnerKeeping(const MetadataTarget& target, const EntryMetadata& metadata,
                       struct stat* info, int parts, bool extraSet, MetadataOutcome* outcome) {
  mode_t before = info->st_mode & 07777;
  uid_t owner = info->st_uid;
  gid_t group = info->st_gid;
  char capability[256];
  ssize_t capabilityLength = -1;
  bool changes = owner != metadata.owner || group != metadata.group;
  if (changes && !extraSet && target.kind == entryFile)
    capabilityLength = readTargetItem(target, "security.capability", capability, sizeof capability);
  applyOwner(target, metadata, info, outcome);
  if (info->st_uid == owner && info->st_gid == group) return;
  if (capabilityLength > 0)
    writeTargetItem(target, "security.capability", capability,
                    static_cast<size_t>(capabilityLength));
  if (!(parts & metadataMode) && (before & setIdBits) && target.kind != entryLink) {
    EntryMetadata kept = metadata;
    kept.mode = before;
    applyMode(target, kept, *info, outcome);
  }
}

// The process may set extended attributes of the user namespace only on an entry
// it may write: an owner without privileges lends itself the write bit meanwhile.
bool lendWriteBit(const MetadataTarget& target, const struct stat& info, int parts) {
  if (!(parts & metadataXattrs) || target.kind == entryLink || (info.st_mode & S_IWUSR) ||
      info.st_uid != geteuid() || processHolds(CAP_FOWNER))
    return false;
  return changeMode(target, (info.st_mode & 07777) | S_IWUSR) == 0;
}

// 0 where what stands there is of the kind the caller named, else the code that
// tells what stands there instead: nothing is changed on another kind of entry.
int kindMismatch(int kind, const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return kind == entryLink ? 0 : ELOOP;
  if (kind == entryLink) return EINVAL;
  if (S_ISDIR(info.st_mode)) return kind == entryFolder ? 0 : EISDIR;
  if (kind == entryFolder) return ENOTDIR;
  return S_ISREG(info.st_mode) ? 0 : EINVAL;  // a pipe or a device is never opened
}

void applyAll(const MetadataTarget& target, const EntryMetadata& metadata,
              const ExtraMetadata* extra, int parts, MetadataOutcome* outcome) {
  *outcome = MetadataOutcome{0, 0, 0, 0};
  parts &= metadataMode | metadataOwner | metadataXattrs | metadataAcls;
  if (target.kind == entryLink) parts &= ~metadataMode;
  if (!parts) return;
  struct stat info;
  int failed = statMetadataTarget(target, &info);
  if (failed == 0) failed = kindMismatch(target.kind, info);
  if (failed != 0) {
    noteMetadataFailure(outcome, parts & -parts, failed, 0);
    return;
  }
  if (parts & metadataOwner)
    applyOwnerKeeping(target, metadata, &info, parts, extra && (parts & metadataXattrs), outcome);
  bool lent = extra && lendWriteBit(target, info, parts);
  if (extra) applyTargetExtra(target, *extra, parts & metadataXattrs, outcome);
  if (parts & metadataMode) {
    if (lent) info.st_mode |= S_IWUSR;
    applyMode(target, metadata, info, outcome);
  } else if (lent) {
    changeMode(target, info.st_mode & 07777);
  }
  if (extra) applyTargetExtra(target, *extra, parts & metadataAcls, outcome);
}
}  // namespace

int statMetadataTarget(const MetadataTarget& target, struct stat* info) {
  int failed = target.file >= 0 ? fstat(target.file, info)
                                : fstatat(target.folder, target.name, info, AT_SYMLINK_NOFOLLOW);
  return failed == 0 ? 0 : errno;
}

void noteMetadataFailure(MetadataOutcome* outcome, int kind, int code, int fileSystemRefused) {
  if (code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS ||
      ((code == EPERM || code == EACCES) && fileSystemRefused)) {
    outcome->notHeld |= kind;
  } else if (code == EPERM || code == EACCES) {
    outcome->notAllowed |= kind;
  } else if (outcome->failedPart == 0) {
    outcome->failedPart = kind;
    outcome->failure = code;
  }
}

void applyMetadataTo(FileHandle file, const EntryMetadata& metadata, const ExtraMetadata* extra,
                     int parts, MetadataOutcome* outcome) {
  MetadataTarget target;
  reachMetadataTargetOf(&target, static_cast<int>(file));
  applyAll(target, metadata, extra, parts, outcome);
}

void applyMetadataIn(FolderHandle folder, const char* name, int kind, const EntryMetadata& metadata,
                     const ExtraMetadata* extra, int parts, MetadataOutcome* outcome) {
  MetadataTarget target;
  reachMetadataTargetIn(&target, static_cast<int>(folder), name, kind);
  applyAll(target, metadata, extra, parts, outcome);
  closeMetadataTarget(&target);
}
