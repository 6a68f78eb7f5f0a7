// The folders a run holds from its start to its end: every folder it reads or
// changes is reached from one of these, one level at a time, never by a whole path
// and never through a link below what the user named (platform/folders.h).
#pragma once

#include "platform/folders.h"

struct RunFolders {
  HeldFolder destination;  ///< the destination root, or its nearest existing folder
  HeldFolder source;       ///< the source root, only read
  HeldFolder backup;       ///< the backup folder of --backup-dir; none without it
  HeldFolder backupRun;    ///< the run's own folder in it, where files are moved
};

/// A record that holds nothing.
constexpr HeldFolder noHeldFolder = {noFolder, nullptr, 0};
constexpr RunFolders noRunFolders = {noHeldFolder, noHeldFolder, noHeldFolder, noHeldFolder};
