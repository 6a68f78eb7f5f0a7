// Keeping copies inside the destination tree: no folder on a copy's way may be a link.
#pragma once

/// Forgets which folders were found free of links (at the start of the passes).
void forgetCheckedFolders();

/// Removes every link that stands where a folder of destinationPath below
/// destinationRoot should be, so that the copy makes real folders rather than write
/// through the link into a tree outside. With -p nothing is removed. Returns 0 when
/// the way is clear (or, with -p, would be), 1 when a link could not be removed.
int clearFolderLinks(const char* destinationPath);
