// Windows bodies of the transfer operations: the block loop copies every file, and
// no read-ahead hint is given; the system's own read-ahead of sequential reads is
// all there is.
#include "platform/platform.h"

long long copyInKernel(FILE*, FILE*, long long) {
  return kernelCopyUnavailable;
}

int readAheadFile(const char*, uint64_t) {
  return readAheadUnavailable;
}

void endReadAhead() {}
