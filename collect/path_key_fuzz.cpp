// Fuzz target: the path key against a bitwise CRC-32 (built with TALVEN_FUZZ=ON).
#include "collect/path_key_fuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool tableBuilt = (buildPathKeyTable(), true);
  (void)tableBuilt;
  std::string failure = checkPathKey(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "%s\n", failure.c_str());
    abort();
  }
  return 0;
}
