// Finding the destination twin of a source entry in linear time overall.
#pragma once

#include <cstdint>

#include "collect/entry_table.h"

/// Chains of destination entries with equal keys, each chain in table order.
struct TwinIndex {
  int32_t* heads;  ///< first entry of each bucket's chain, or -1
  int32_t* next;   ///< next entry of the same bucket, or -1
  uint32_t mask;   ///< bucket count - 1 (a power of two)
};

/// Builds the index over table; 0 on success, 1 when memory ran out.
int buildTwinIndex(TwinIndex* index, const EntryTable* table);
/// The first entry of table, in table order, with the key of relativePath, not yet
/// handled, and a path equal under the platform's name comparison (folded where
/// both entries lie where the destination ignores letter case); -1 when none.
int32_t findTwin(const TwinIndex* index, const EntryTable* table, const FileEntry& entry);
/// The first entry of table before the entry at, handled or not, with its key and a
/// path equal under the same comparison; -1 when none. index is over table itself.
int32_t findTwinBefore(const TwinIndex* index, const EntryTable* table, int32_t at);
/// Frees the index.
void freeTwinIndex(TwinIndex* index);
