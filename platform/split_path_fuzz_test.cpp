// The path-splitting and name-comparison fuzz check on a few thousand random inputs.
#include "platform/split_path_fuzz.h"

#include <gtest/gtest.h>

#include "platform/fuzz_input.h"

TEST(SplitPathRandom, PartsAndNameComparisonObeyTheirRules) {
  std::mt19937 random(5004);
  for (int round = 0; round < 4000; ++round) {
    // Now and then past a part buffer, where splitPath must cut and still terminate.
    std::string input = randomFuzzInput(random, round % 10 == 0 ? 700 : 80);
    ASSERT_EQ("", checkPathPieces(fuzzBytes(input), input.size())) << "round " << round;
  }
}

TEST(SplitPathRandom, NamesThatDifferOnlyInCase) {
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

TEST(SplitPathRandom, PartsAroundTheirBufferSizeAreCutAndTerminated) {
  // Random inputs seldom hold a long run free of separators and periods: build them.
  for (size_t length = splitPartSize - 3; length <= splitPartSize + 2u; ++length) {
    const std::string paths[] = {
        "/" + std::string(length - 1, 'd') + "/" + "n.e",  // the directory part
        "/d/" + std::string(length, 'n') + ".e",           // the name part
        "/d/n." + std::string(length - 1, 'e'),            // the extension part
        std::string(length, 'n')};                         // a bare name
    for (const std::string& path : paths) {
      std::string input = std::string(1, '\x05') + path;
      ASSERT_EQ("", checkPathPieces(fuzzBytes(input), input.size())) << path.size();
    }
  }
}
