// Between the POSIX bodies of the read-ahead window and of the stream opens.
#pragma once

#include <stdio.h>

/// Opens a source file as openFileForReading does when no file is held for it.
FILE* openSourceStream(const char* path);
/// Takes the stream that readAheadFile holds for path, closing those asked for
/// before it; null when none is held for path.
FILE* takeReadAheadFile(const char* path);
