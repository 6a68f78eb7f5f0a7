// Random inputs for the bounded random tests that run the fuzz targets' checks in the
// suite, where the fuzzer itself is not built.
#pragma once

#include <cstdint>
#include <random>
#include <string>

/// Random bytes, mostly those the checked rules turn on: letters at the edges of A-Z
/// and a-z and their neighbours, separators, periods, dashes, option letters, the
/// drive colon, zero (which splits inputs into parts), 1 (which stretches an argument
/// to the path limit) and bytes of 128 and above. Lengths run up to maxLength.
inline std::string randomFuzzInput(std::mt19937& random, size_t maxLength) {
  static const char interesting[] = {'a', 'A',  'z',  'Z',    '@',    '[',    '`',    '{',
                                     '/', '\\', '.',  '-',    'v',    'l',    'p',    ':',
                                     'x', ' ',  '\0', '\x01', '\x80', '\xC4', '\xE4', '\xFF'};
  size_t length = random() % (maxLength + 1);
  if (random() % 4 == 0) length = random() % 8;  // short inputs hit the edge cases
  std::string bytes;
  for (size_t i = 0; i < length; ++i) {
    if (random() % 3 == 0)
      bytes += static_cast<char>(random());
    else
      bytes += interesting[random() % sizeof interesting];
  }
  return bytes;
}

/// The input as the bytes the checks take.
inline const uint8_t* fuzzBytes(const std::string& input) {
  return reinterpret_cast<const uint8_t*>(input.data());
}
