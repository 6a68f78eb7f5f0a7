// Test helpers for destinations on foreign file systems: an image file in the
// test's own folder, attached to a loop device and mounted, as a USB stick would
// be. Every mount made here is undone when the test tears down, and at the latest
// when the test program exits.
#pragma once

#include <string>

/// Kinds of file system a test can mount.
enum TestMountKind {
  mountExt4SmallInodes,  ///< ext4 with 128-byte inodes: whole seconds only
  mountExfatFuse,        ///< exFAT through FUSE (exfat-fuse), made by exfatprogs
};

/// One mounted image.
struct TestMount {
  std::string image;       ///< the image file, inside the test's folder
  std::string device;      ///< the loop device, empty while none is attached
  std::string mountPoint;  ///< where it is mounted (created here when missing)
  bool mounted;
};

#if defined(_WIN32)
inline std::string mountTestImage(TestMountKind, const std::string&, const std::string&, int,
                                  TestMount* mount) {
  *mount = TestMount{"", "", "", false};
  return "mounts are made from the host, not from the Windows test program";
}
inline void unmountTestImage(TestMount*) {}
#else
/// Makes an image of megabytes MiB named image (inside the test's folder) holding an
/// empty file system of kind, attaches it to a loop device and mounts it on
/// mountPoint, which must lie in the test's folder too. Returns "" when mounted,
/// else why it cannot be done here (not root, a tool missing, a mount refused): the
/// test then skips with that reason.
std::string mountTestImage(TestMountKind kind, const std::string& image,
                           const std::string& mountPoint, int megabytes, TestMount* mount);
/// Unmounts and detaches whatever of mount is still mounted or attached; safe to call
/// twice. Call it on every way out of a test (TearDown).
void unmountTestImage(TestMount* mount);
#endif
