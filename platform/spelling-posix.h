// POSIX only: names written as their folder lists them.
#pragma once

#include <stddef.h>

/// Rewrites the last name of path, an existing path with no link in it, as its
/// folder lists it, where the file system ignores letter case and the name was given
/// in another case: such a file system reached through FUSE gives each spelling an
/// identity of its own, so only the listed one matches what a listing meets. path
/// holds size bytes; it stays as it is where the name is listed as given, where the
/// file system tells case apart, or where the listed spelling would not fit.
void spellAsListed(char* path, size_t size);
