// POSIX only: a source file opened by whichever way reached it, taken once it is
// open (copy_files-posix.cpp, folders-posix.cpp).
#pragma once

#include "platform/copy_files.h"

/// Looks once at the open descriptor fd of a source: a regular file fills source
/// (sourceOpened); anything else is closed (sourceNotRegular, or sourceUnreadable
/// with failure set). Returns a SourceOpenResult.
int takeSourceFile(int fd, SourceFile* source, int* failure);
