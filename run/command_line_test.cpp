#include "run/command_line.h"

#include <gtest/gtest.h>

#include "run/settings.h"

TEST(CommandLine, TrailingSeparatorsAreRemoved) {
  char root[pathBufferSize];
  std::string argument = std::string("dst") + pathSeparator + pathSeparator;
  ASSERT_EQ(rootTaken, takeRoot(root, argument.c_str()));
  EXPECT_STREQ("dst", root);
}
