// POSIX bodies of the destination-clock questions: the file system's type from
// statfs, and for the ext family whether its inodes are large enough to hold
// nanoseconds, which shows in whether the kernel reports a birth time.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace {
// Magic numbers of statfs's f_type (linux/magic.h).
constexpr unsigned long extMagic = 0xEF53;
constexpr unsigned long msdosMagic = 0x4d44;
constexpr unsigned long exfatMagic = 0x2011BAB0;
constexpr unsigned long hfsPlusMagic = 0x482b;
constexpr unsigned long exactMagics[] = {
    0x58465342,  // XFS
    0x9123683E,  // btrfs
    0x01021994,  // tmpfs
    0xF2F52010,  // F2FS
    0x2FC12FC1,  // ZFS
    0x7366746E,  // ntfs3
    0x858458f6,  // ramfs
};

// ext4 keeps nanoseconds, and a birth time, only in inodes of more than 128 bytes.
int extClockKind(const char* folder) {
#if defined(STATX_BTIME)
  struct statx info;
  if (statx(AT_FDCWD, folder, AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) != 0)
    return clockKindUnknown;
  return (info.stx_mask & STATX_BTIME) ? clockKindExact : clockKindSeconds;
#else
  (void)folder;
  return clockKindUnknown;
#endif
}
}  // namespace

int fileSystemClockKind(const char* folder) {
  struct statfs info;
  if (statfs(folder, &info) != 0) return clockKindUnknown;
  unsigned long type = static_cast<unsigned long>(info.f_type) & 0xFFFFFFFFul;
  if (type == extMagic) return extClockKind(folder);
  if (type == msdosMagic) return clockKindFat;
  if (type == exfatMagic) return clockKindExfat;
  if (type == hfsPlusMagic) return clockKindSeconds;
  for (unsigned long exact : exactMagics)
    if (type == exact) return clockKindExact;
  return clockKindUnknown;
}
