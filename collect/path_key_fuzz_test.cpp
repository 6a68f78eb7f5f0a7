// The path key fuzz check on a few thousand random inputs, fixed seed.
#include "collect/path_key_fuzz.h"

#include <gtest/gtest.h>

#include "platform/fuzz_input.h"

TEST(PathKeyRandom, AgreesWithTheBitwiseCrc32) {
  buildPathKeyTable();
  std::mt19937 random(5001);
  for (int round = 0; round < 4000; ++round) {
    std::string input = randomFuzzInput(random, 300);
    ASSERT_EQ("", checkPathKey(fuzzBytes(input), input.size())) << "round " << round;
  }
  // Every single byte, on its own and after a path.
  for (int byte = 0; byte < 256; ++byte) {
    std::string input = "/docs/" + std::string(1, static_cast<char>(byte));
    ASSERT_EQ("", checkPathKey(fuzzBytes(input), input.size())) << "byte " << byte;
  }
}
