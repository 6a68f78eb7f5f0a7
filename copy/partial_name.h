// Partial names: where a copy is written until it is complete, stamped and on disk,
// and only then takes the destination's name. Every copy gets a file of its own:
// the name is made with the system's promise that nothing stood there, never opened
// over a file that another copy, a killed run or the user left.
#pragma once

#include <atomic>
#include <cstddef>

#include "collect/path_key.h"
#include "platform/folders.h"

/// A source name guarded from partial files: its key with every letter folded, and
/// its relative path.
struct GuardedName {
  PathKey key;
  const char* relativePath;
};

/// The source names that a partial file could take (those ending as partial names
/// do), sorted, so that no partial file is ever written where the copy of one goes.
/// Made once per run before any copy is written; only read afterwards.
struct PartialNameGuard {
  GuardedName* names;
  size_t count;
  int failed;         ///< memory ran out: every partial name counts as taken
  size_t rootLength;  ///< bytes of the destination root, cut off a path to find its name
  /// Numbers for the short names of copies whose own name leaves no room for the
  /// suffix; shared by every thread writing copies.
  std::atomic<long long> nextShortName;
};

/// Fills guard from the source table, for copies below a destination root of
/// rootLength bytes. Never fails: where memory runs out, every partial name counts as
/// taken and copies fail alone.
void guardPartialNames(PartialNameGuard* guard, size_t rootLength);
/// Frees what guardPartialNames kept.
void releasePartialNames(PartialNameGuard* guard);

/// Creates the file a copy to destinationPath is written to, under a name of its own
/// in the same folder: the destination's name with the partial suffix (and a number
/// where that is taken or guarded) or, where the name leaves no room, the suffix and
/// a number alone. Writes its path into writePath (capacity bytes). Returns the open
/// file, or noFile with failure telling why no such file could be made (a code of
/// lastFailureCode, or failurePathTooLong).
FileHandle createPartialFile(TreeFolders* folders, PartialNameGuard* guard,
                             const char* destinationPath, unsigned mode, char* writePath,
                             size_t capacity, int* failure);
