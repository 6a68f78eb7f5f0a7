// POSIX only: how the bodies of folders.h beyond folders-posix.cpp reach an entry of
// a tree, through the folders the record holds, never through a link.
#pragma once

#include "platform/folders.h"

/// Reaches the folder of the entry path (below the root) and sets name to the entry's
/// name in it; fd is that folder's descriptor, owned by folders and valid until the
/// next call on it. Returns a FolderResult (folderRefused for the root itself).
int reachEntryIn(TreeFolders* folders, const char* path, int* fd, const char** name);
/// Reaches the root itself; fd is its descriptor, owned by folders. A FolderResult.
int reachRootIn(TreeFolders* folders, int* fd);
