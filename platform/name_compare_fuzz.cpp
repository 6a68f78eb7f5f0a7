// Fuzz target: the name comparison (built with TALVEN_FUZZ=ON).
#include "platform/name_compare_fuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure = checkPathPieces(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "%s\n", failure.c_str());
    abort();
  }
  return 0;
}
