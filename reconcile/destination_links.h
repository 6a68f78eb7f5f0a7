// Keeping copies inside the destination tree: no folder on a copy's way may be a link.
#pragma once

#include "platform/folders.h"

/// Forgets which folders were found free of links (at the start of the passes).
void forgetCheckedFolders();

/// Removes every link that stands where a folder of destinationPath below the root
/// of folders should be, so that the copy makes real folders there. With -p nothing
/// is removed. Returns 0 when the way is clear (or, with -p, would be), 1 when a link
/// could not be removed.
int clearFolderLinks(DestinationFolders* folders, const char* destinationPath);
