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

// Where the destination folds case, entries with folded keys are twins of each other
// under any spelling, and a second source name finds the first one before it; where
// it does not, the same names stay apart.
TEST(TwinIndex, FoldedEntriesMatchUnderAnySpelling) {
  buildPathKeyTable();
  std::vector<std::string> paths = {"/Report.doc", "/other", "/REPORT.DOC", "/report.doc"};
  for (int rules : {static_cast<int>(namesExfat), static_cast<int>(namesAsPlatform)}) {
    SCOPED_TRACE(rules);
    std::vector<FileEntry> entries(paths.size() + 1);
    for (size_t i = 0; i < paths.size(); ++i) {
      entries[i].relativePath = &paths[i][0];
      entries[i].nameRules = static_cast<uint8_t>(rules);
      entries[i].key = rules == namesAsPlatform
                           ? computePathKey(paths[i].c_str(), paths[i].size())
                           : computeFoldedPathKey(paths[i].c_str(), paths[i].size());
    }
    EntryTable table = {entries.data(), static_cast<int32_t>(paths.size()),
                        static_cast<int32_t>(paths.size()) + 1};
    TwinIndex index;
    ASSERT_EQ(0, buildTwinIndex(&index, &table));
    bool folds = rules != namesAsPlatform || platformIsWindows;
    EXPECT_EQ(folds ? 0 : 3, findTwin(&index, &table, entries[3]));
    EXPECT_EQ(folds ? 0 : -1, findTwinBefore(&index, &table, 2));
    EXPECT_EQ(-1, findTwinBefore(&index, &table, 0)) << "nothing comes before the first";
    entries[0].handled = 1;
    EXPECT_EQ(folds ? 2 : 3, findTwin(&index, &table, entries[3]));
    freeTwinIndex(&index);
  }
}
