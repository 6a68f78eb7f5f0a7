// POSIX bodies of the mount helpers: mkfs from e2fsprogs and exfatprogs, losetup
// from util-linux, mount(2) for ext4 and mount.exfat-fuse for exFAT.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/mount_support.h"

namespace {
// Runs a shell command quietly; true when it succeeded.
bool quietly(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

std::string attachLoopDevice(const std::string& image) {
  FILE* pipe = popen(("losetup --find --show " + quoted(image) + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::string();
  char line[256] = {};
  bool read = fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  std::string device = read ? line : "";
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  return device;
}

// Mounts still in place, undone at exit should a test end without its TearDown.
std::vector<TestMount*>& liveMounts() {
  static std::vector<TestMount*> mounts;
  return mounts;
}

void undoLiveMounts() {
  std::vector<TestMount*> mounts = liveMounts();
  for (TestMount* mount : mounts) unmountTestImage(mount);
}

void remember(TestMount* mount) {
  static bool registered = false;
  if (!registered) registered = atexit(undoLiveMounts) == 0;
  liveMounts().push_back(mount);
}

void forget(TestMount* mount) {
  std::vector<TestMount*>& mounts = liveMounts();
  for (size_t i = 0; i < mounts.size(); ++i)
    if (mounts[i] == mount) {
      mounts.erase(mounts.begin() + static_cast<long>(i));
      return;
    }
}

std::string makeImage(TestMountKind kind, const std::string& image, int megabytes) {
  const char* maker = kind == mountExt4SmallInodes ? "mkfs.ext4" : "mkfs.exfat";
  if (!quietly(std::string("command -v ") + maker)) return std::string(maker) + " is not installed";
  unlink(image.c_str());
  if (!quietly("truncate -s " + std::to_string(megabytes) + "M " + quoted(image)))
    return "cannot make the image file";
  std::string options = kind == mountExt4SmallInodes ? " -q -F -I 128 -E lazy_itable_init=0" : "";
  if (!quietly(maker + options + " " + quoted(image))) return std::string(maker) + " failed";
  return std::string();
}

bool mountDevice(TestMountKind kind, const TestMount& mount) {
  if (kind == mountExt4SmallInodes)
    return ::mount(mount.device.c_str(), mount.mountPoint.c_str(), "ext4", 0, "") == 0;
  return quietly("mount.exfat-fuse " + quoted(mount.device) + " " + quoted(mount.mountPoint));
}
}  // namespace

std::string mountTestImage(TestMountKind kind, const std::string& image,
                           const std::string& mountPoint, int megabytes, TestMount* mount) {
  *mount = TestMount{image, "", mountPoint, false};
  if (geteuid() != 0) return "loop devices and mounts need root";
  if (kind == mountExfatFuse && !quietly("command -v mount.exfat-fuse"))
    return "mount.exfat-fuse (exfat-fuse) is not installed";
  if (kind == mountExfatFuse && access("/dev/fuse", R_OK | W_OK) != 0)
    return "/dev/fuse is not available here";
  std::string made = makeImage(kind, image, megabytes);
  if (!made.empty()) return made;
  mkdir(mountPoint.c_str(), 0755);
  // FUSE's exFAT needs a block device; the kernel's ext4 does too.
  mount->device = attachLoopDevice(image);
  if (mount->device.empty()) return "losetup cannot attach a loop device here";
  remember(mount);
  mount->mounted = mountDevice(kind, *mount);
  if (!mount->mounted) {
    unmountTestImage(mount);
    return kind == mountExt4SmallInodes ? "the kernel refused to mount ext4 from a loop device"
                                        : "mount.exfat-fuse refused to mount the loop device";
  }
  return std::string();
}

void unmountTestImage(TestMount* mount) {
  if (mount->mounted && umount2(mount->mountPoint.c_str(), 0) != 0)
    umount2(mount->mountPoint.c_str(), MNT_DETACH);
  mount->mounted = false;
  // A FUSE file system lets go of its device only once its daemon has ended.
  for (int tries = 0; !mount->device.empty() && tries < 50; ++tries) {
    if (quietly("losetup -d " + quoted(mount->device))) break;
    usleep(100000);
  }
  mount->device.clear();
  forget(mount);
}
