// Fuzz target: takeRoot and readArguments against their rules (built with TALVEN_FUZZ=ON).
#include "run/command_line_fuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure = checkCommandLine(data, size);
  if (!failure.empty()) {
    fprintf(stderr, "%s\n", failure.c_str());
    abort();
  }
  return 0;
}
