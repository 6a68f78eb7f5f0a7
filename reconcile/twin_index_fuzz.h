// The twin index checked against the plain search in table order, for the fuzz target
// beside it and the bounded random test in the suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "collect/path_key.h"
#include "platform/name_matching_reference.h"
#include "reconcile/twin_index.h"

/// Equal names as this platform matches them: letters folded on Windows, bytes on
/// POSIX.
inline bool referenceNamesEqual(const std::string& a, const std::string& b) {
  return matchingForm(a.c_str(), a.size()) == matchingForm(b.c_str(), b.size());
}

/// Reads the fuzz input as a table and a list of probes, a few bytes each.
struct TwinFuzzInput {
  const uint8_t* data;
  size_t size;
  size_t at;
  uint8_t next() { return at < size ? data[at++] : 0; }
  bool done() const { return at >= size; }
};

// Few names and few keys, so that equal keys, equal names and case twins abound.
inline std::string twinFuzzName(uint8_t choice) {
  // E acute in both cases as UTF-8: one name on Windows, two on POSIX.
  static const char* names[] = {"/a",     "/A",     "/b",        "/dir/a",   "/DIR/a",
                                "/x\xC4", "/x\xE4", "/c.txt",    "/C.TXT",   "/",
                                "/dir/A", "/\xFF",  "/\xC3\x89", "/\xC3\xA9"};
  return names[choice % 14];
}

// The entry's key: its own, the all-ones value, a tiny colliding value, or another's.
inline uint32_t twinFuzzKey(uint8_t choice, const std::string& path) {
  switch (choice % 4) {
    case 0: return computePathKey(path.data(), path.size());
    case 1: return 0xFFFFFFFFu;
    case 2: return (choice >> 2) % 3;
    default: {
      std::string other = twinFuzzName(choice >> 2);
      return computePathKey(other.data(), other.size());
    }
  }
}

/// The search the index stands for: the first entry in table order with an equal key,
/// not yet handled, and an equal name.
inline int32_t plainTwinSearch(const EntryTable& table, const std::string& path, uint32_t key) {
  for (int32_t i = 0; i < table.count; ++i) {
    const FileEntry& candidate = table.entries[i];
    if (candidate.key == key && !candidate.handled &&
        referenceNamesEqual(candidate.relativePath, path))
      return i;
  }
  return -1;
}

/// Builds a table from the bytes, then asks index and plain search for the same twins,
/// claiming each one found as the passes do. Empty when they always agree.
inline std::string checkTwinIndex(const uint8_t* data, size_t size) {
  TwinFuzzInput input{data, size, 0};
  int32_t count = input.next() % 64;
  std::vector<std::string> paths(static_cast<size_t>(count));
  std::vector<FileEntry> entries(static_cast<size_t>(count) + 1);
  for (int32_t i = 0; i < count; ++i) {
    paths[i] = twinFuzzName(input.next());
    entries[i].relativePath = &paths[i][0];
    uint8_t keyChoice = input.next();
    entries[i].key = twinFuzzKey(keyChoice, paths[i]);
    entries[i].handled = (keyChoice & 0x80) ? 1 : 0;
  }
  EntryTable table = {entries.data(), count, count + 1};
  TwinIndex index;
  if (buildTwinIndex(&index, &table)) return "buildTwinIndex ran out of memory";
  std::string failure;
  while (failure.empty() && !input.done()) {
    std::string path = twinFuzzName(input.next());
    FileEntry probe = {};
    probe.relativePath = &path[0];
    probe.key = twinFuzzKey(input.next(), path);
    int32_t expected = plainTwinSearch(table, path, probe.key);
    int32_t found = findTwin(&index, &table, probe);
    if (found != expected)
      failure = "findTwin gave " + std::to_string(found) + " for " + path + ", the search " +
                std::to_string(expected);
    if (expected >= 0) entries[expected].handled = 1;
  }
  freeTwinIndex(&index);
  return failure;
}
