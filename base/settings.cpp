#include "base/settings.h"

#include <cstring>

void resetRunSettings(RunSettings* settings) {
  memset(settings, 0, sizeof *settings);
  settings->maxDeletions = noDeletionCap;
}
