// Keeping copies inside the destination tree: no folder on a copy's way may be a link.
#pragma once

#include <cstddef>

#include "platform/folders.h"

/// The folder of the last destination path whose way was found clear: copies come
/// grouped by folder, so most copies need no look at all.
struct LinkCheck {
  char* folder;  ///< pathBufferSize bytes, or null before the first look
  size_t length;
};

/// Forgets which folder was found free of links, and frees what the check holds.
void forgetCheckedFolders(LinkCheck* check);

/// Removes every link that stands where a folder of destinationPath below the root
/// of folders should be, so that the copy makes real folders there; with verbose, each
/// removal is told. Returns 0 when the way is clear, 1 when a link could not be
/// removed (or memory ran out).
int clearFolderLinks(TreeFolders* folders, LinkCheck* check, int verbose,
                     const char* destinationPath);
