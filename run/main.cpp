#include <cstdio>

#include "run/run.h"

int main(int argc, char** argv) {
  int status = runTalven(argc, argv);
  fflush(stdout);
  return status;
}
