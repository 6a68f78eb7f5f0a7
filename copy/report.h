// The lines of one finished copy.
#pragma once

#include "copy/room.h"

/// Prints the console and error lines of a finished copy, as its notes tell them;
/// folder is a scratch buffer of pathBufferSize bytes. Deciding thread only.
void printCopyLines(const CopyJob* job, char* folder);
