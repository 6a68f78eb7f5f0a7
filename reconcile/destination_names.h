// Where the destination's file systems take names otherwise than the platform
// compares them: folders where names that differ only in letter case are one file,
// and the names that exFAT and FAT cannot hold.
#pragma once

#include <cstddef>
#include <cstdint>

#include "collect/entry_table.h"

/// A folder of the destination, its root or a mount point below it, and the
/// NameRules that hold from it down.
struct NameRegion {
  char* folder;  ///< relative to the destination root; "" for the root itself
  size_t length;
  int rules;
};

/// A source entry that the destination takes for an earlier one.
struct NameClash {
  int32_t entry;
  int32_t earlier;
};

/// What the run learnt of the destination's names: its regions, longest folder
/// first, and the clashes found among the source's names.
struct DestinationNames {
  NameRegion* regions;
  int32_t regionCount;
  int32_t regionCapacity;
  NameClash* clashes;
  int32_t clashCount;
  int32_t clashCapacity;
};

/// Learns the rules of the destination root and of every mount point below it;
/// 0, or 1 when memory ran out.
int learnDestinationNames(const char* root);
/// The NameRules that hold for a relative path of the destination.
int nameRulesFor(const char* relativePath);
/// Gives every entry of both tables the rules of its path, and the folded key where
/// they fold case; marks each source entry that the destination takes for an
/// earlier source entry as a clash. On POSIX, changes nothing where every rule is
/// the platform's own. 0, or 1 when memory ran out.
int applyDestinationNames();
/// The earlier source entry that the clash at entry is taken for; -1 when none.
int32_t clashingEntry(int32_t entry);
/// Why the destination cannot hold the name of a source entry (a phrase for the
/// failure line); null when it can.
const char* refusedName(const FileEntry& entry);
/// Frees what learnDestinationNames and applyDestinationNames kept.
void forgetDestinationNames();
