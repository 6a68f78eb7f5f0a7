#include "reconcile/twin_index.h"

#include <cstdlib>

namespace {
// Where the destination ignores letter case, two paths that differ only in it name
// one file there.
bool sameName(const FileEntry& a, const FileEntry& b) {
  if (a.nameRules != namesAsPlatform && b.nameRules != namesAsPlatform)
    return foldedNamesEqual(a.relativePath, b.relativePath);
  return pathNamesEqual(a.relativePath, b.relativePath);
}
}  // namespace

int buildTwinIndex(TwinIndex* index, const EntryTable* table) {
  uint32_t buckets = 1024;
  while (buckets < 2u * static_cast<uint32_t>(table->count)) buckets <<= 1;
  index->mask = buckets - 1;
  index->heads = static_cast<int32_t*>(malloc(sizeof(int32_t) * buckets));
  index->next = static_cast<int32_t*>(malloc(sizeof(int32_t) * (table->count + 1)));
  if (!index->heads || !index->next) {
    freeTwinIndex(index);
    return 1;
  }
  for (uint32_t b = 0; b < buckets; ++b) index->heads[b] = -1;
  // Pushing from the last entry to the first leaves every chain in table order.
  for (int32_t i = table->count - 1; i >= 0; --i) {
    uint32_t bucket = table->entries[i].key & index->mask;
    index->next[i] = index->heads[bucket];
    index->heads[bucket] = i;
  }
  return 0;
}

int32_t findTwin(const TwinIndex* index, const EntryTable* table, const FileEntry& entry) {
  for (int32_t i = index->heads[entry.key & index->mask]; i >= 0; i = index->next[i]) {
    const FileEntry& candidate = table->entries[i];
    if (candidate.key == entry.key && !candidate.handled && sameName(candidate, entry)) return i;
  }
  return -1;
}

int32_t findTwinBefore(const TwinIndex* index, const EntryTable* table, int32_t at) {
  const FileEntry& entry = table->entries[at];
  for (int32_t i = index->heads[entry.key & index->mask]; i >= 0 && i < at; i = index->next[i]) {
    const FileEntry& candidate = table->entries[i];
    if (candidate.key == entry.key && sameName(candidate, entry)) return i;
  }
  return -1;
}

void freeTwinIndex(TwinIndex* index) {
  free(index->heads);
  free(index->next);
  index->heads = nullptr;
  index->next = nullptr;
}
