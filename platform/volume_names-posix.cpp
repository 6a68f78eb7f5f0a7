// POSIX bodies of what a destination's file system makes of names. Linux tells the
// type of a file system (statfs) and the flags of a folder (casefold on ext4 and
// f2fs); a FUSE file system on a block device is named by its boot sector, read
// only; where nothing tells, one lookup of an existing name with its case changed.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "platform/spelling-posix.h"

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

namespace {
// The nearest folder of path that exists, path itself included.
std::string existingFolder(const char* path) {
  std::string folder = path;
  struct stat info;
  while (!folder.empty() && stat(folder.c_str(), &info) != 0) {
    size_t last = folder.find_last_of('/');
    if (last == std::string::npos) return ".";
    folder.erase(last == 0 ? 1 : last);
  }
  return folder.empty() ? "." : folder;
}

// A name with every ASCII letter of the other case.
std::string otherCase(const char* name) {
  std::string flipped = name;
  for (char& c : flipped)
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c ^= 0x20;
  return flipped;
}

// Looks up a name of folder with its case changed. A file system that ignores case
// finds it, one that tells case apart does not; a folder that lists both spellings
// tells case apart. Where folder holds no name with a letter, fallback holds.
int probeCase(const std::string& folder, int fallback) {
  DIR* directory = opendir(folder.c_str());
  if (!directory) return fallback;
  std::string name, flipped;
  while (struct dirent* entry = readdir(directory)) {
    std::string candidate = otherCase(entry->d_name);
    if (candidate != entry->d_name) {
      name = entry->d_name;
      flipped = candidate;
      break;
    }
  }
  int result = fallback;
  if (!name.empty()) {
    bool listedToo = false;
    rewinddir(directory);
    while (struct dirent* entry = readdir(directory)) listedToo |= flipped == entry->d_name;
    struct stat info;
    if (listedToo)
      result = namesAsPlatform;
    else if (fstatat(dirfd(directory), flipped.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
      result = namesFoldCase;
    else if (errno == ENOENT)
      result = namesAsPlatform;
  }
  closedir(directory);
  return result;
}

// The name with its letters in capitals or, where that changes nothing, with its
// ASCII letters in the other case: a name that a file system ignoring case takes
// for the one given. The name itself where it holds no such letter.
std::string caseVariant(const char* name) {
  std::string capitals;
  const char* at = name;
  for (size_t available = strlen(name); available > 0;) {
    char folded[4];
    size_t length = 0;
    size_t taken = foldCaseCharacter(at, available, folded, &length);
    capitals.append(folded, length);
    at += taken;
    available -= taken;
  }
  return capitals != name ? capitals : otherCase(name);
}

// Undoes the octal escapes (\040 for a space) of a path in /proc/self/mountinfo.
std::string unescapeMountPath(const char* text, size_t length) {
  std::string path;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\\' && i + 3 < length && text[i + 1] >= '0' && text[i + 1] <= '3') {
      path += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                (text[i + 3] - '0'));
      i += 3;
    } else {
      path += text[i];
    }
  }
  return path;
}

// One line of /proc/self/mountinfo: its device, mount point and source.
struct MountLine {
  unsigned major, minor;
  std::string mountPoint, source;
};

bool parseMountLine(const char* line, MountLine* mount) {
  // Fields: id, parent, major:minor, root, mount point, options..., "-", type, source.
  if (sscanf(line, "%*u %*u %u:%u", &mount->major, &mount->minor) != 2) return false;
  const char* at = line;
  for (int field = 0; field < 4 && at; ++field) at = strchr(at + 1, ' ');
  if (!at) return false;
  const char* end = strchr(++at, ' ');
  const char* separator = strstr(line, " - ");
  if (!end || !separator) return false;
  mount->mountPoint = unescapeMountPath(at, static_cast<size_t>(end - at));
  const char* source = strchr(separator + 3, ' ');
  if (!source) return false;
  const char* sourceEnd = strchr(++source, ' ');
  mount->source = unescapeMountPath(
      source, sourceEnd ? static_cast<size_t>(sourceEnd - source) : strcspn(source, "\n"));
  return true;
}

// Calls visit for each line of /proc/self/mountinfo until it returns true.
template <typename Visit>
void readMounts(Visit visit) {
  FILE* table = fopen("/proc/self/mountinfo", "re");
  if (!table) return;
  char line[3 * pathBufferSize];
  MountLine mount;
  while (fgets(line, sizeof line, table))
    if (parseMountLine(line, &mount) && visit(mount)) break;
  fclose(table);
}

// Names the file system in a FUSE mount's block device by its boot sector; the
// device is only read, and one that cannot be read tells nothing (-1).
int rulesFromBootSector(const struct stat& folderInfo) {
  std::string device;
  readMounts([&](const MountLine& mount) {
    if (makedev(mount.major, mount.minor) != folderInfo.st_dev) return false;
    device = mount.source;
    return true;
  });
  if (device.empty() || device[0] != '/') return -1;
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  char sector[90] = {};
  ssize_t got = pread(fd, sector, sizeof sector, 0);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof sector)) return -1;
  if (memcmp(sector + 3, "EXFAT   ", 8) == 0) return namesExfat;
  if (memcmp(sector + 82, "FAT32   ", 8) == 0 || memcmp(sector + 54, "FAT1", 4) == 0)
    return namesFat;
  return -1;
}

#if defined(__linux__)
constexpr unsigned long ext4Magic = 0xEF53, f2fsMagic = 0xF2F52010, fatMagic = 0x4d44,
                        exfatMagic = 0x2011BAB0, fuseMagic = 0x65735546, hfsPlusMagic = 0x482b,
                        cifsMagic = 0xFF534D42, smb2Magic = 0xFE534D42, smbMagic = 0x517B,
                        ntfs3Magic = 0x7366746e, ntfsMagic = 0x5346544e;
#ifndef FS_CASEFOLD_FL
#define FS_CASEFOLD_FL 0x40000000
#endif

int casefoldFlag(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return namesAsPlatform;
  int flags = 0;
  int folds = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL);
  close(fd);
  return folds ? namesFoldCase : namesAsPlatform;
}
#endif
}  // namespace

int folderNameRules(const char* path) {
  std::string folder = existingFolder(path);
#if defined(__linux__)
  struct statfs system;
  struct stat info;
  if (statfs(folder.c_str(), &system) != 0 || stat(folder.c_str(), &info) != 0)
    return namesAsPlatform;
  unsigned long type = static_cast<unsigned long>(system.f_type) & 0xFFFFFFFFul;
  switch (type) {
    case ext4Magic:
    case f2fsMagic: return casefoldFlag(folder);
    case fatMagic: return namesFat;
    case exfatMagic: return namesExfat;
    case fuseMagic: {
      int named = rulesFromBootSector(info);
      // A FUSE file system that tells nothing of itself is taken to fold case
      // until a name in it shows otherwise: that costs at most a report.
      return named >= 0 ? named : probeCase(folder, namesFoldCase);
    }
    case hfsPlusMagic:
    case cifsMagic:
    case smb2Magic:
    case smbMagic:
    case ntfs3Magic:
    case ntfsMagic: return probeCase(folder, namesFoldCase);
    default: return namesAsPlatform;
  }
#else
  return probeCase(folder, namesAsPlatform);
#endif
}

void forEachMountBelow(const char* folder, void (*sink)(void*, const char*), void* context) {
  char resolved[pathBufferSize];
  if (!realpath(folder, resolved)) return;
  size_t length = strlen(resolved);
  if (length == 1) length = 0;  // the root: every other mount is below it
  readMounts([&](const MountLine& mount) {
    if (mount.mountPoint.size() > length + 1 &&
        mount.mountPoint.compare(0, length, resolved, length) == 0 &&
        mount.mountPoint[length] == '/')
      sink(context, mount.mountPoint.c_str() + length);
    return false;
  });
}

void spellAsListed(char* path, size_t size) {
  char* last = strrchr(path, '/');
  if (!last || last[1] == '\0') return;
  const char* name = last + 1;
  std::string variant = caseVariant(name);
  std::string folder(path, last == path ? 1 : static_cast<size_t>(last - path));
  struct stat info;
  // Most file systems tell case apart: one lookup that finds nothing tells so.
  if (variant == name || lstat((folder + "/" + variant).c_str(), &info) != 0) return;
  DIR* directory = opendir(folder.c_str());
  if (!directory) return;
  bool listedAsGiven = false;
  std::string listed;
  while (struct dirent* entry = readdir(directory)) {
    listedAsGiven = strcmp(entry->d_name, name) == 0;
    if (listedAsGiven) break;
    if (listed.empty() && foldedNamesEqual(entry->d_name, name)) listed = entry->d_name;
  }
  closedir(directory);
  size_t at = static_cast<size_t>(name - path);
  if (listedAsGiven || listed.empty() || at + listed.size() + 1 > size) return;
  memcpy(path + at, listed.c_str(), listed.size() + 1);
}
