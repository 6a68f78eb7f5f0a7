// Windows only: how the bodies of folders.h beyond folders-win32.cpp reach an entry
// of a tree, through the folders the record holds, never through a reparse point.
#pragma once

#include "platform/folders.h"

/// Reaches and holds every folder from the root down to the one the entry path
/// (below the root) lies in: while folders holds them, none of them can be renamed
/// or replaced, and the entry's full path names an entry of that folder. Returns a
/// FolderResult (folderRefused for the root itself, or a name that climbs out).
int reachEntryIn(TreeFolders* folders, const char* path);
/// Reaches the root itself; its handle is then folders->rootHandle. A FolderResult.
int reachRootIn(TreeFolders* folders);
