// Which folder arguments name the root of a drive or share: refused as destinations.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {
TEST(VolumeRootNames, EverySpellingOfADriveOrShareRootIsOne) {
  if (!platformIsWindows) GTEST_SKIP() << "POSIX has one root, /, which takeRoot refuses";
  // As takeRoot leaves them (trailing separators gone), and as typed.
  for (const char* root :
       {"C:", "c:", "C:\\", "C:/", "C:\\.", "C:\\x\\..", "C:\\x\\.\\..\\.",
        "\\\\?\\C:", "\\\\?\\C:\\", "\\\\.\\C:", "\\\\?\\c:\\.", "\\\\server\\share",
        "\\\\server\\share\\", "//server/share", "\\\\?\\UNC\\server\\share",
        "\\\\?\\UNC\\server\\share\\", "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}"})
    EXPECT_TRUE(isVolumeRootName(root)) << root;
}

TEST(VolumeRootNames, FoldersOfADriveOrShareAreNone) {
  if (!platformIsWindows) GTEST_SKIP() << "POSIX has one root, /, which takeRoot refuses";
  for (const char* folder : {"C:\\Backup", "C:\\Backup\\.", "C:/Backup", "\\\\?\\C:\\Backup",
                             "\\\\server\\share\\folder", "\\\\?\\UNC\\server\\share\\folder",
                             "dst", "dst\\inner", "..\\sibling"})
    EXPECT_FALSE(isVolumeRootName(folder)) << folder;
}
}  // namespace
