// The command-line fuzz check on a few thousand random inputs, fixed seed.
#include "run/command_line_fuzz.h"

#include <gtest/gtest.h>

#include "platform/fuzz_input.h"

TEST(CommandLineRandom, RootsAndOptionsObeyTheirRules) {
  std::mt19937 random(5003);
  for (int round = 0; round < 3000; ++round) {
    std::string input = randomFuzzInput(random, 100);
    ASSERT_EQ("", checkCommandLine(fuzzBytes(input), input.size())) << "round " << round;
  }
  // Arguments one byte on either side of the limit, bare and with trailing separators.
  for (int extra = 0; extra < 6; ++extra)
    for (const char* tail : {"", "/", "//", "\\"}) {
      std::string input = std::string("\x01") + static_cast<char>(extra) + "a" + tail;
      ASSERT_EQ("", checkCommandLine(fuzzBytes(input), input.size())) << extra << tail;
    }
}
