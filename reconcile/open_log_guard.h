// The log a run writes, kept from that run's own updates, copies and deletions.
#pragma once

#include "platform/platform.h"

/// Notes which file the open log is written to (nothing when no log is open).
void rememberOpenLog();
/// The identity of the file the open log is written to, or null when none is known.
const FileIdentity* openLogIdentity();
/// True when path is the file the open log is written to; then says so (a line on
/// standard error, and with -v on standard output) for the action tried.
int targetsOpenLog(const char* path, const char* action);
