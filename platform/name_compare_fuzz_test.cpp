// The name-comparison fuzz check on a few thousand random inputs.
#include "platform/name_compare_fuzz.h"

#include <gtest/gtest.h>

#include "platform/fuzz_input.h"

TEST(NameCompareRandom, NameComparisonObeysItsRules) {
  std::mt19937 random(5004);
  for (int round = 0; round < 4000; ++round) {
    // Now and then a long pair.
    std::string input = randomFuzzInput(random, round % 10 == 0 ? 700 : 80);
    ASSERT_EQ("", checkPathPieces(fuzzBytes(input), input.size())) << "round " << round;
  }
}

TEST(NameCompareRandom, NamesThatDifferOnlyInCase) {
  // Pairs the random inputs rarely make: equal but for the case of one letter or byte.
  const char* pairs[][2] = {{"/Docs/a.TXT", "/docs/A.txt"},
                            {"/x\xC4", "/x\xE4"},
                            {"/@", "/`"},
                            {"/[", "/{"},
                            {"/a", "/a/"}};
  for (const auto& pair : pairs)
    for (size_t n = 0; n < 14; ++n) {
      std::string input = std::string(1, static_cast<char>(n)) + pair[0] + '\0' + pair[1];
      ASSERT_EQ("", checkPathPieces(fuzzBytes(input), input.size())) << pair[0] << " " << n;
    }
}
