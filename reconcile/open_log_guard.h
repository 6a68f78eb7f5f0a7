// The log a run writes, kept from that run's own updates, copies and deletions.
#pragma once

#include "platform/platform.h"

/// The file the open log is written to, as the passes know it.
struct OpenLog {
  FileIdentity identity;
  int known;
};

/// Notes which file the log named name is written to (nothing when isOpen is 0).
void rememberOpenLog(OpenLog* log, int isOpen, const char* name);
/// True when path is the file the open log is written to; then says so (a line on
/// standard error, and with verbose on standard output) for the action tried.
int targetsOpenLog(const OpenLog& log, int verbose, const char* path, const char* action);
