#include "reconcile/twin_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {
// The search the index replaces: the first entry in table order with an equal key,
// not handled, and an equal path.
int32_t quadraticTwin(const EntryTable& table, const FileEntry& entry) {
  for (int32_t i = 0; i < table.count; ++i) {
    const FileEntry& candidate = table.entries[i];
    if (candidate.key == entry.key && !candidate.handled &&
        pathNamesEqual(candidate.relativePath, entry.relativePath))
      return i;
  }
  return -1;
}

// Few keys and few names, so that collisions, duplicates and case variants abound.
std::string randomName(std::mt19937& random) {
  const char* names[] = {"/a", "/A", "/b", "/dir/a", "/DIR/a", "/x\xC4", "/x\xE4", "/c"};
  return names[random() % 8];
}
}  // namespace

TEST(TwinIndex, AgreesWithTheQuadraticSearch) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 200; ++round) {
    int32_t count = static_cast<int32_t>(random() % 40);
    std::vector<std::string> paths(count);
    std::vector<FileEntry> entries(count + 1);
    for (int32_t i = 0; i < count; ++i) {
      paths[i] = randomName(random);
      entries[i].relativePath = &paths[i][0];
      entries[i].key = random() % 3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(random() % 4);
      entries[i].handled = random() % 4 == 0;
    }
    EntryTable table = {entries.data(), count, count + 1};
    TwinIndex index;
    ASSERT_EQ(0, buildTwinIndex(&index, &table));
    for (int probe = 0; probe < 30; ++probe) {
      std::string path = randomName(random);
      FileEntry entry = {};
      entry.relativePath = &path[0];
      entry.key = random() % 3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(random() % 4);
      int32_t expected = quadraticTwin(table, entry);
      ASSERT_EQ(expected, findTwin(&index, &table, entry)) << "round " << round;
      // Claiming twins as the passes do keeps the two searches in step.
      if (expected >= 0) entries[expected].handled = 1;
    }
    freeTwinIndex(&index);
  }
}

TEST(TwinIndex, EmptyTableHasNoTwins) {
  FileEntry entry = {};
  std::string path = "/a";
  entry.relativePath = &path[0];
  EntryTable table = {nullptr, 0, 0};
  TwinIndex index;
  ASSERT_EQ(0, buildTwinIndex(&index, &table));
  EXPECT_EQ(-1, findTwin(&index, &table, entry));
  freeTwinIndex(&index);
}
