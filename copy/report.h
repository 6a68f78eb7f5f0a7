// The lines of one finished copy.
#pragma once

#include "copy/room.h"

/// Prints the console and error lines of a finished copy, as its notes tell them (the
/// progress lines only with verbose); folder is a scratch buffer of pathBufferSize
/// bytes. Deciding thread only.
void printCopyLines(const CopyJob* job, int verbose, char* folder);
