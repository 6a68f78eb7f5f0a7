// The lines of one finished copy.
#pragma once

#include "copy/room.h"

/// Prints the console and error lines of a finished copy, as its notes tell them (the
/// progress lines only with -v), and with --json its objects; folder is a scratch
/// buffer of pathBufferSize bytes. Deciding thread only.
void printCopyLines(const CopyJob* job, const RunSettings& settings, char* folder);
