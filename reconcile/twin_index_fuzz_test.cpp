// The twin index fuzz check on a few thousand random inputs, fixed seed.
#include "reconcile/twin_index_fuzz.h"

#include <gtest/gtest.h>

#include "platform/fuzz_input.h"

TEST(TwinIndexRandom, AgreesWithThePlainSearch) {
  buildPathKeyTable();
  std::mt19937 random(5002);
  for (int round = 0; round < 3000; ++round) {
    std::string input = randomFuzzInput(random, 200);
    ASSERT_EQ("", checkTwinIndex(fuzzBytes(input), input.size())) << "round " << round;
  }
}
