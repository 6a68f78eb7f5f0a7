#include "scan/directory_listing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {
TEST(DirectoryListing, StartsEmptyWithItsInitialSlots) {
  DirectoryListing* listing = new DirectoryListing();
  EXPECT_EQ(0, listing->fileCount);
  EXPECT_EQ(0, listing->subdirectoryCount);
  EXPECT_EQ(128, listing->fileCapacity);
  EXPECT_EQ(32, listing->subdirectoryCapacity);
  EXPECT_EQ(nullptr, listing->nameAt(0, 0));
  EXPECT_EQ(nullptr, listing->nameAt(0, 1));
  delete listing;
}

TEST(DirectoryListing, DotEntriesAndEmptyNamesAreNotStored) {
  DirectoryListing* listing = new DirectoryListing();
  EXPECT_EQ(addEntryEmptyName, listing->addEntry("", 0, 1, 2, 3));
  EXPECT_EQ(addEntryEmptyName, listing->addEntry("", 1, 0, 0, 0));
  EXPECT_EQ(addEntryStored, listing->addEntry(".", 1, 0, 0, 0));
  EXPECT_EQ(addEntryStored, listing->addEntry("..", 1, 0, 0, 0));
  // The test is on the name alone, whatever the directory flag says.
  EXPECT_EQ(addEntryStored, listing->addEntry(".", 0, 0, 0, 0));
  EXPECT_EQ(addEntryStored, listing->addEntry("..", 0, 0, 0, 0));
  EXPECT_EQ(0, listing->fileCount);
  EXPECT_EQ(0, listing->subdirectoryCount);
  // Names that merely begin with periods are ordinary entries.
  EXPECT_EQ(addEntryStored, listing->addEntry("...", 0, 0, 0, 0));
  EXPECT_EQ(addEntryStored, listing->addEntry(".hidden", 1, 0, 0, 0));
  EXPECT_STREQ("...", listing->nameAt(0, 0));
  EXPECT_STREQ(".hidden", listing->nameAt(0, 1));
  delete listing;
}

TEST(DirectoryListing, MissingArrayGivesResult1) {
  DirectoryListing* listing = new DirectoryListing();
  free(listing->subdirectoryNames);
  listing->subdirectoryNames = nullptr;
  EXPECT_EQ(addEntryNoArray, listing->addEntry("sub", 1, 0, 0, 0));
  EXPECT_EQ(addEntryStored, listing->addEntry("file", 0, 0, 0, 0));
  EXPECT_EQ(0, listing->subdirectoryCount);
  EXPECT_EQ(1, listing->fileCount);
  delete listing;  // passes over the missing array
}

TEST(DirectoryListing, GrowthKeepsEveryEntryInOrder) {
  DirectoryListing* listing = new DirectoryListing();
  for (int i = 0; i < 129; ++i) {
    std::string name = "file" + std::to_string(i);
    uint64_t size = (static_cast<uint64_t>(i) << 32) + 1000u + static_cast<uint64_t>(i);
    ASSERT_EQ(addEntryStored, listing->addEntry(name.c_str(), 0, size, 10u + i, 20u + i));
    if (i < 33) {
      std::string folder = "dir" + std::to_string(i);
      ASSERT_EQ(addEntryStored, listing->addEntry(folder.c_str(), 1, 999, 9, 9));
    }
  }
  EXPECT_EQ(129, listing->fileCount);
  EXPECT_EQ(33, listing->subdirectoryCount);
  EXPECT_EQ(384, listing->fileCapacity);
  EXPECT_EQ(64, listing->subdirectoryCapacity);
  for (int i = 0; i < 129; ++i) {
    ASSERT_EQ("file" + std::to_string(i), listing->nameAt(i, 0));
    ASSERT_EQ((static_cast<uint64_t>(i) << 32) + 1000u + static_cast<uint64_t>(i),
              listing->fileSizeAt(i));
    ASSERT_EQ(10u + i, listing->fileTimeAt(i).low);
    ASSERT_EQ(20u + i, listing->fileTimeAt(i).high);
  }
  for (int i = 0; i < 33; ++i) ASSERT_EQ("dir" + std::to_string(i), listing->nameAt(i, 1));
  EXPECT_EQ(nullptr, listing->nameAt(129, 0));
  EXPECT_EQ(nullptr, listing->nameAt(33, 1));
  EXPECT_EQ(nullptr, listing->nameAt(33, 7));  // any nonzero kind selects subdirectories
  EXPECT_STREQ("dir32", listing->nameAt(32, 7));
  delete listing;
}

TEST(DirectoryListing, StoresItsOwnCopyOfEachName) {
  DirectoryListing* listing = new DirectoryListing();
  char name[] = "original";
  listing->addEntry(name, 0, 0, 0, 0);
  name[0] = 'X';
  EXPECT_STREQ("original", listing->nameAt(0, 0));
  delete listing;
}
}  // namespace
