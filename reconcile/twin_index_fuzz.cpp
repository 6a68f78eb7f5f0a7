// Fuzz target: the twin index against the plain search (built with TALVEN_FUZZ=ON).
#include "reconcile/twin_index_fuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool tableBuilt = (buildPathKeyTable(), true);
  (void)tableBuilt;
  std::string failure = checkTwinIndex(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "%s\n", failure.c_str());
    abort();
  }
  return 0;
}
