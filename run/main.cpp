#include <cstdio>

#include "platform/platform.h"
#include "run/run.h"

int main(int argc, char** argv) {
  argv = programArguments(&argc, argv);
  int status = runTalven(argc, argv);
  fflush(stdout);
  return status;
}
