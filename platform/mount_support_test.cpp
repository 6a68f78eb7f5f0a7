// The mounted test file systems keep times as the real sticks and disks do: the
// premise of every test of coarse destination clocks.
#include "platform/mount_support.h"

#include <gtest/gtest.h>

#include "platform/test_support.h"

namespace {
class MountSupport : public testing::TestWithParam<TestMountKind> {
 protected:
  void SetUp() override { scratch = makeScratchFolder(); }
  void TearDown() override {
    unmountTestImage(&mount);
    removeScratchFolder(scratch);
  }
  std::string scratch;
  TestMount mount = {"", "", "", false};
};

TEST_P(MountSupport, KeepsWholeSecondsAndUnmountsCleanly) {
  std::string why = mountTestImage(GetParam(), joinPath(scratch, "disk.img"),
                                   joinPath(scratch, "mnt"), 64, &mount);
  if (!why.empty()) GTEST_SKIP() << why;
  std::string file = joinPath(mount.mountPoint, "a.txt");
  ASSERT_TRUE(writeFileBytes(file, "a"));
  // 2020-09-13 12:26:41.7375679 UTC: an odd second, so a 2-second clock would show.
  const int64_t given = 132444738017375679LL;
  ASSERT_EQ(0, setFileTimes(file.c_str(), FileTime{static_cast<uint32_t>(given),
                                                   static_cast<uint32_t>(given >> 32)}));
  FileTimes times;
  ASSERT_TRUE(readFileTimes(file, &times));
  EXPECT_EQ(given - 7375679, times.lastWrite);
  unmountTestImage(&mount);
  EXPECT_FALSE(mount.mounted);
  EXPECT_FALSE(pathExists(file));
}

INSTANTIATE_TEST_SUITE_P(Kinds, MountSupport,
                         testing::Values(mountExt4SmallInodes, mountExfatFuse));
}  // namespace
