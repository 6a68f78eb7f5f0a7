#include "collect/path_key.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
class PathKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { buildPathKeyTable(); }

  static PathKey keyOf(const char* path) { return computePathKey(path, strlen(path)); }
  static uint32_t rawKey(const char* bytes) {
    return updatePathKey(pathKeyStart, reinterpret_cast<const unsigned char*>(bytes),
                         static_cast<uint32_t>(strlen(bytes)));
  }
};

TEST_F(PathKeyTest, TableIsTheReflectedCrc32Table) {
  EXPECT_EQ(0u, pathKeyTable[0]);
  EXPECT_EQ(0x77073096u, pathKeyTable[1]);
  EXPECT_EQ(0xEDB88320u, pathKeyTable[128]);
  EXPECT_EQ(0x2D02EF8Du, pathKeyTable[255]);
}

TEST_F(PathKeyTest, KeyIsTheUninvertedCrc32) {
  // The standard CRC-32 of "123456789" is 0xCBF43926; the key skips the final inversion.
  EXPECT_EQ(~0xCBF43926u, rawKey("123456789"));
  EXPECT_EQ(0x03A24AA3u, keyOf("\\abc"));
  EXPECT_EQ(0x03A24AA3u, keyOf("\\ABC"));
  EXPECT_EQ(0x03A24AA3u, keyOf("\\aBc"));
}

TEST_F(PathKeyTest, OnlyAsciiSmallLettersAreFolded) {
  // Bytes of 128 and above are fed as they are: \xC4 and \xE4 (A and a with umlaut in
  // Latin-1) stay apart whatever the locale would say.
  EXPECT_NE(keyOf("\\\xC4.txt"), keyOf("\\\xE4.txt"));
  EXPECT_EQ(rawKey("\\\xE4.TXT"), keyOf("\\\xE4.txt"));
  // Punctuation next to the letters is not folded by a bit trick: { is not [, ` is not @.
  EXPECT_NE(keyOf("\\{"), keyOf("\\["));
  EXPECT_NE(keyOf("\\`"), keyOf("\\@"));
  EXPECT_NE(keyOf("\\~"), keyOf("\\^"));
  EXPECT_EQ(rawKey("\\DOCS\\A1_-.TXT"), keyOf("\\docs\\a1_-.txt"));
}

TEST_F(PathKeyTest, LengthLimitsTheBytesFed) {
  const unsigned char bytes[] = {'\\', 'a', 'b', 'c'};
  EXPECT_EQ(0x12345678u, updatePathKey(0x12345678u, bytes, 0));
  EXPECT_EQ(pathKeyStart, computePathKey("\\abc", 0));
  // Feeding in two runs gives the same value as in one.
  uint32_t split = updatePathKey(updatePathKey(pathKeyStart, bytes, 2), bytes + 2, 2);
  EXPECT_EQ(0x03A24AA3u,
            updatePathKey(pathKeyStart, reinterpret_cast<const unsigned char*>("\\ABC"), 4));
  EXPECT_EQ(updatePathKey(pathKeyStart, bytes, 4), split);
  // Only the given length counts, not the terminator.
  EXPECT_EQ(keyOf("\\ab"), computePathKey("\\abc", 3));
}
}  // namespace
