#include "collect/entry_table.h"

#include <gtest/gtest.h>

#include <string>

#include "base/settings.h"
#include "collect/scan_threads.h"

namespace {
const std::string separator(1, pathSeparator);

class EntryTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    buildPathKeyTable();
    ASSERT_EQ(0, initEntryTables());
    destinationTable.count = 0;
    sourceTable.count = 0;
  }
  void TearDown() override { freeEntryTables(); }

  // Adds files f0, f1, ... to the table under the root "src".
  static void addFiles(EntryTable* table, int first, int last) {
    std::string directory = "src" + separator;
    for (int i = first; i < last; ++i) {
      std::string name = "f" + std::to_string(i);
      ASSERT_EQ(addFileStored, addFileEntry(table, directory.c_str(), name.c_str(), 3,
                                            static_cast<uint64_t>(i), FileTime{1, 2}));
    }
  }
};

TEST_F(EntryTableTest, StartsWith512RecordsEach) {
  EXPECT_EQ(512, destinationTable.capacity);
  EXPECT_EQ(512, sourceTable.capacity);
  EXPECT_NE(nullptr, destinationTable.entries);
  EXPECT_NE(nullptr, sourceTable.entries);
  EXPECT_NE(destinationTable.entries, sourceTable.entries);
}

TEST_F(EntryTableTest, GrowsOneRecordEarlyBy512) {
  addFiles(&sourceTable, 0, 511);
  EXPECT_EQ(511, sourceTable.count);
  EXPECT_EQ(512, sourceTable.capacity);
  addFiles(&sourceTable, 511, 512);
  EXPECT_EQ(512, sourceTable.count);
  EXPECT_EQ(1024, sourceTable.capacity);
  addFiles(&sourceTable, 512, 1023);
  EXPECT_EQ(1024, sourceTable.capacity);
  addFiles(&sourceTable, 1023, 1024);
  EXPECT_EQ(1536, sourceTable.capacity);
  // Growth kept every record, in order; the other table was not touched.
  for (int i = 0; i < 1024; ++i) {
    ASSERT_EQ(separator + "f" + std::to_string(i), sourceTable.entries[i].relativePath);
    ASSERT_EQ(static_cast<uint64_t>(i), sourceTable.entries[i].size);
  }
  EXPECT_EQ(0, destinationTable.count);
  EXPECT_EQ(512, destinationTable.capacity);
}

TEST_F(EntryTableTest, RelativePathIsTheFullPathAfterTheRoot) {
  // The root "base" (length 4) with the file base/Docs/Read Me.TXT.
  std::string directory = "base" + separator + "Docs" + separator;
  FileTime time = {0x89ABCDEFu, 0x01D2F3A4u};
  ASSERT_EQ(addFileStored,
            addFileEntry(&destinationTable, directory.c_str(), "Read Me.TXT", 4, 17, time));
  ASSERT_EQ(1, destinationTable.count);
  const FileEntry& entry = destinationTable.entries[0];
  std::string relative = separator + "Docs" + separator + "Read Me.TXT";
  EXPECT_EQ(relative, entry.relativePath);
  std::string upper = separator + "DOCS" + separator + "READ ME.TXT";
  EXPECT_EQ(computePathKey(upper.c_str(), upper.size()), entry.key);
  EXPECT_EQ(17u, entry.size);
  EXPECT_EQ(time.low, entry.lastWriteTime.low);
  EXPECT_EQ(time.high, entry.lastWriteTime.high);
  EXPECT_EQ(0, entry.handled);
}

TEST_F(EntryTableTest, FilesDifferingInCaseKeepTheirOwnCaseAndShareTheKey) {
  std::string directory = "r" + separator;
  ASSERT_EQ(addFileStored, addFileEntry(&sourceTable, directory.c_str(), "abc", 1, 0, {0, 0}));
  ASSERT_EQ(addFileStored, addFileEntry(&sourceTable, directory.c_str(), "ABC", 1, 0, {0, 0}));
  EXPECT_EQ(separator + "abc", sourceTable.entries[0].relativePath);
  EXPECT_EQ(separator + "ABC", sourceTable.entries[1].relativePath);
  EXPECT_EQ(sourceTable.entries[0].key, sourceTable.entries[1].key);
  if (pathSeparator == '\\') {
    EXPECT_EQ(0x03A24AA3u, sourceTable.entries[0].key);
  }
}

TEST_F(EntryTableTest, SizesOf4GiBAndMoreAreKeptWhole) {
  const uint64_t large = (5ull << 32) + 12345u;  // 20 GiB and a bit
  const uint64_t justOver = 1ull << 32;
  std::string directory = "r" + separator;
  ASSERT_EQ(addFileStored, addFileEntry(&sourceTable, directory.c_str(), "big", 1, large, {}));
  ASSERT_EQ(addFileStored, addFileEntry(&sourceTable, directory.c_str(), "4g", 1, justOver, {}));
  ASSERT_EQ(addFileStored,
            addFileEntry(&sourceTable, directory.c_str(), "2g", 1, 0x80000000ull, {}));
  EXPECT_EQ(large, sourceTable.entries[0].size);
  EXPECT_EQ(justOver, sourceTable.entries[1].size);
  EXPECT_EQ(0x80000000ull, sourceTable.entries[2].size);
}

TEST_F(EntryTableTest, CollectorJoinsTheSizeHalves) {
  sourceTable.rootLength = 1;
  destinationTable.rootLength = 2;
  std::string source = "s" + separator;
  std::string destination = "dd" + separator + "x" + separator;
  EXPECT_EQ(1, collectSourceEntry(source.c_str(), "big", 0x1234u, 0x5u, 0, 0xAu, 0xBu));
  EXPECT_EQ(2, collectSourceEntry(source.c_str(), "small", 7u, 0u, 0, 0u, 0u));
  EXPECT_EQ(1, collectDestinationEntry(destination.c_str(), "y", 0xFFFFFFFFu, 0u, 0, 0u, 0u));
  EXPECT_EQ((5ull << 32) | 0x1234u, sourceTable.entries[0].size);
  EXPECT_EQ(0xAu, sourceTable.entries[0].lastWriteTime.low);
  EXPECT_EQ(0xBu, sourceTable.entries[0].lastWriteTime.high);
  EXPECT_EQ(separator + "big", sourceTable.entries[0].relativePath);
  EXPECT_EQ(7u, sourceTable.entries[1].size);
  EXPECT_EQ(0xFFFFFFFFull, destinationTable.entries[0].size);
  EXPECT_EQ(separator + "x" + separator + "y", destinationTable.entries[0].relativePath);
}

TEST_F(EntryTableTest, FreeReleasesEverythingAndCanBeRepeated) {
  addFiles(&destinationTable, 0, 600);
  addFiles(&sourceTable, 0, 3);
  freeEntryTables();
  // The leak checker of the sanitizer build sees any path string left behind.
  EXPECT_EQ(nullptr, destinationTable.entries);
  EXPECT_EQ(nullptr, sourceTable.entries);
  EXPECT_EQ(0, destinationTable.count);
  EXPECT_EQ(0, sourceTable.count);
  freeEntryTables();  // TearDown frees again: nothing is freed twice
}
}  // namespace
