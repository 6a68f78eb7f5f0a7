// POSIX test helpers for permission bits and the file-creation mask.
#include <sys/stat.h>

#include "platform/test_support.h"

int permissionBits(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

bool setPermissionBits(const std::string& path, int mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

int setFileCreationMask(int mask) {
  return static_cast<int>(umask(static_cast<mode_t>(mask)));
}
