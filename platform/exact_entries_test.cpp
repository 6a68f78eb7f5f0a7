// An exact mirror's entries through the tree's held folders, and the listing that
// gives them back: folder times, names of one file, links as links (or, where the
// system makes none, a link that fails alone).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/held_tree_fixture.h"
#include "platform/platform.h"
#include "platform/test_support.h"

#if defined(TALVEN_WINDOWS)
#include <windows.h>

#include "platform/entries-win32.h"
#endif

namespace {
struct Listed {
  std::string name;
  int kind;
  uint64_t size;
  int64_t lastWrite;
  uint32_t links;
  FileIdentity identity;
  std::string target;
};

void collectListed(void* context, const ListedEntry* entry) {
  static_cast<std::vector<Listed>*>(context)->push_back(
      Listed{entry->name, entry->kind, entry->size, fileTimeValue(entry->lastWrite), entry->links,
             entry->identity, entry->target ? entry->target : ""});
}

const Listed* findListed(const std::vector<Listed>& entries, const std::string& name) {
  for (const Listed& entry : entries)
    if (entry.name == name) return &entry;
  return nullptr;
}

// The names listed, "." and ".." left out, in order.
std::vector<std::string> namesOf(const std::vector<Listed>& entries) {
  std::vector<std::string> names;
  for (const Listed& entry : entries)
    if (entry.name != "." && entry.name != "..") names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

std::string describedFailure() {
  char text[256];
  describeSystemFailure(lastFailureCode(), text, sizeof text);
  return text;
}

constexpr FileTime folderTime = {0x12345678u, 0x01d00000u};
constexpr FileTime rootTime = {0x9abcdef0u, 0x01d10000u};
constexpr FileTime linkTime = {0x0badf00du, 0x01d20000u};

class ExactEntriesTest : public HeldTreeTest {
 protected:
  std::string at(const std::string& relative) const { return joinPath(root, relative); }
  std::vector<Listed> list(const std::string& folder, int asIs) {
    std::vector<Listed> entries;
    EXPECT_EQ(enumerateListed, listDirectory(folder.c_str(), asIs, collectListed, &entries));
    return entries;
  }
  // Whether this system, for this process, makes symbolic links at all.
  bool linksCanBeMade() {
    return writeFileBytes(joinPath(scratch, "probe-target"), "x") &&
           makeSymlink("probe-target", joinPath(scratch, "probe-link"));
  }
};

TEST_F(ExactEntriesTest, FolderTimesAreSetOnTheFolderAndTheRootAndListed) {
  ASSERT_TRUE(writeFileBytes(at("sub/file"), "x"));
  EXPECT_EQ(folderDone, setEntryTimeIn(&folders, at("sub").c_str(), folderTime));
  EXPECT_EQ(folderDone, setEntryTimeIn(&folders, root.c_str(), rootTime)) << describedFailure();
  EXPECT_EQ(folderMissing, setEntryTimeIn(&folders, at("gone").c_str(), folderTime));

  const Listed* sub = nullptr;
  std::vector<Listed> inRoot = list(root, listFolderTimes);
  ASSERT_NE(nullptr, sub = findListed(inRoot, "sub"));
  EXPECT_EQ(entryFolder, sub->kind);
  EXPECT_EQ(fileTimeValue(folderTime), sub->lastWrite);
  std::vector<Listed> inScratch = list(scratch, listFolderTimes);
  ASSERT_NE(nullptr, findListed(inScratch, "dst"));
  EXPECT_EQ(fileTimeValue(rootTime), findListed(inScratch, "dst")->lastWrite);
  // Only asked for: the default listing reads no folder's time.
  inRoot = list(root, 0);
  ASSERT_NE(nullptr, sub = findListed(inRoot, "sub"));
  EXPECT_EQ(0, sub->lastWrite);

  int kind = -1;
  FileIdentity identity = {0, 0};
  EXPECT_EQ(folderDone, entryKindIn(&folders, at("sub").c_str(), &kind, &identity));
  EXPECT_EQ(entryFolder, kind);
  EXPECT_EQ(folderDone, entryKindIn(&folders, at("sub/file").c_str(), &kind, &identity));
  EXPECT_EQ(entryFile, kind);
  EXPECT_EQ(folderMissing, entryKindIn(&folders, at("sub/gone").c_str(), &kind, &identity));
}

TEST_F(ExactEntriesTest, AHardLinkIsASecondNameOfOneFileAndNeverTakesAFolder) {
  ASSERT_TRUE(writeFileBytes(at("a/first"), "shared"));
  ASSERT_TRUE(writeFileBytes(at("b/old"), "old"));
  ASSERT_TRUE(makeFolders(at("b/folder")));
  EXPECT_EQ(folderDone, makeHardLinkIn(&folders, at("a/first").c_str(), at("b/second").c_str(), 0));

  int kind = -1;
  FileIdentity first = {0, 0};
  FileIdentity second = {0, 0};
  ASSERT_EQ(folderDone, entryKindIn(&folders, at("a/first").c_str(), &kind, &first));
  EXPECT_EQ(entryFile, kind);
  ASSERT_EQ(folderDone, entryKindIn(&folders, at("b/second").c_str(), &kind, &second));
  EXPECT_EQ(entryFile, kind);
  EXPECT_TRUE(sameFileIdentity(first, second));
  // The listing tells both names of the file, by the identity entryKindIn tells.
  const Listed* listed = nullptr;
  std::vector<Listed> inB = list(at("b"), listFileLinks);
  ASSERT_NE(nullptr, listed = findListed(inB, "second"));
  EXPECT_EQ(entryFile, listed->kind);
  EXPECT_EQ(2u, listed->links);
  EXPECT_TRUE(sameFileIdentity(first, listed->identity));
  ASSERT_NE(nullptr, listed = findListed(inB, "old"));
  EXPECT_EQ(1u, listed->links);

  // Over a file only with replace; never over a folder; nothing left beside them.
  EXPECT_EQ(folderRefused, makeHardLinkIn(&folders, at("a/first").c_str(), at("b/old").c_str(), 0));
  EXPECT_TRUE(isAlreadyExists(lastFailureCode()));
  std::string bytes;
  ASSERT_TRUE(readFileBytes(at("b/old"), &bytes));
  EXPECT_EQ("old", bytes);
  EXPECT_EQ(folderDone, makeHardLinkIn(&folders, at("a/first").c_str(), at("b/old").c_str(), 1));
  ASSERT_TRUE(readFileBytes(at("b/old"), &bytes));
  EXPECT_EQ("shared", bytes);
  EXPECT_EQ(folderRefused,
            makeHardLinkIn(&folders, at("a/first").c_str(), at("b/folder").c_str(), 1));
  EXPECT_NE(folderDone, makeHardLinkIn(&folders, at("a/gone").c_str(), at("b/third").c_str(), 0));
  EXPECT_TRUE(isNoSuchEntry(lastFailureCode()));
  EXPECT_EQ((std::vector<std::string>{"folder", "old", "second"}), namesOf(list(at("b"), 0)));
  std::vector<Listed> inA = list(at("a"), listFileLinks);
  ASSERT_NE(nullptr, listed = findListed(inA, "first"));
  EXPECT_EQ(3u, listed->links);
}

TEST_F(ExactEntriesTest, ALinkIsListedBackWithItsTargetAndTime) {
  if (!linksCanBeMade()) GTEST_SKIP() << "this process may not make symbolic links here";
  ASSERT_TRUE(writeFileBytes(at("file"), "12345"));
  ASSERT_TRUE(writeFileBytes(at("place"), "old"));
  ASSERT_TRUE(makeFolders(at("folder")));
  EXPECT_EQ(folderDone, makeLinkIn(&folders, at("to-file").c_str(), "file", linkTime, 0));
  EXPECT_EQ(folderDone, makeLinkIn(&folders, at("to-folder").c_str(), "folder", linkTime, 0));
  EXPECT_EQ(folderDone, makeLinkIn(&folders, at("broken").c_str(), "nowhere", linkTime, 0));
  // A file gives its place to a link only with replace; a folder never does.
  EXPECT_EQ(folderRefused, makeLinkIn(&folders, at("place").c_str(), "file", linkTime, 0));
  EXPECT_EQ(folderDone, makeLinkIn(&folders, at("place").c_str(), "file", linkTime, 1));
  EXPECT_EQ(folderRefused, makeLinkIn(&folders, at("folder").c_str(), "file", linkTime, 1));

  std::vector<Listed> asIs = list(root, listLinksAsIs);
  EXPECT_EQ((std::vector<std::string>{"broken", "file", "folder", "place", "to-file", "to-folder"}),
            namesOf(asIs));
  for (const char* name : {"to-file", "to-folder", "broken", "place"}) {
    const Listed* link = findListed(asIs, name);
    ASSERT_NE(nullptr, link) << name;
    EXPECT_EQ(entryLink, link->kind) << name;
    EXPECT_EQ(fileTimeValue(linkTime), link->lastWrite) << name;
    EXPECT_EQ(link->target.size(), link->size) << name;
  }
  EXPECT_EQ("file", findListed(asIs, "to-file")->target);
  EXPECT_EQ("folder", findListed(asIs, "to-folder")->target);
  EXPECT_EQ("nowhere", findListed(asIs, "broken")->target);
  int kind = -1;
  FileIdentity identity = {0, 0};
  EXPECT_EQ(folderDone, entryKindIn(&folders, at("to-folder").c_str(), &kind, &identity));
  EXPECT_EQ(entryLink, kind);
  EXPECT_EQ(folderDone, setEntryTimeIn(&folders, at("to-file").c_str(), folderTime));

  // Followed, a link to a file stands for the file; the others are links to count.
  std::vector<Listed> followed = list(root, 0);
  EXPECT_EQ(entryFile, findListed(followed, "to-file")->kind);
  EXPECT_EQ(5u, findListed(followed, "to-file")->size);
  EXPECT_EQ(entryLink, findListed(followed, "to-folder")->kind);
  EXPECT_EQ(entryLink, findListed(followed, "broken")->kind);
  EXPECT_EQ("", findListed(followed, "broken")->target);
  EXPECT_EQ(fileTimeValue(folderTime), findListed(list(root, listLinksAsIs), "to-file")->lastWrite);

  // A link to a folder and a link to a file take each other's places (on Windows, one
  // is a folder's entry), and a link to a folder goes alone, never what it leads to.
  EXPECT_EQ(folderDone, makeLinkIn(&folders, at("to-file").c_str(), "folder", linkTime, 1));
  EXPECT_EQ(folderDone, makeLinkIn(&folders, at("to-folder").c_str(), "file", linkTime, 1));
  asIs = list(root, listLinksAsIs);
  EXPECT_EQ("folder", findListed(asIs, "to-file")->target);
  EXPECT_EQ("file", findListed(asIs, "to-folder")->target);
  EXPECT_EQ(folderDone, deleteFileIn(&folders, at("to-file").c_str()));
  EXPECT_EQ((std::vector<std::string>{"broken", "file", "folder", "place", "to-folder"}),
            namesOf(list(root, listLinksAsIs)));
}

TEST_F(ExactEntriesTest, ALinkThatCannotBeMadeFailsAloneAndLeavesTheOldEntry) {
  if (linksCanBeMade()) GTEST_SKIP() << "this system makes symbolic links for this process";
  ASSERT_TRUE(writeFileBytes(at("place"), "old"));
  const char* targets[] = {"file", "..\\elsewhere", "\\??\\C:\\elsewhere"};
  for (const char* target : targets) {
    EXPECT_EQ(folderRefused, makeLinkIn(&folders, at("place").c_str(), target, linkTime, 1))
        << target;
    int code = lastFailureCode();
    std::string reason = describedFailure();
#if defined(TALVEN_WINDOWS)
    // No privilege, no developer mode: the system's own refusal; an emulation that
    // makes nothing is told as a request not supported.
    EXPECT_TRUE(code == ERROR_PRIVILEGE_NOT_HELD || code == ERROR_NOT_SUPPORTED)
        << target << ": " << code << " " << reason;
#endif
    EXPECT_NE(0, code) << target;
    EXPECT_EQ((std::vector<std::string>{"place"}), namesOf(list(root, listLinksAsIs))) << target;
    std::string bytes;
    ASSERT_TRUE(readFileBytes(at("place"), &bytes));
    EXPECT_EQ("old", bytes) << target;
  }
}

#if defined(TALVEN_WINDOWS)
// What a link or junction stores, read as the listing gives it: the parts of its
// reparse data that no system here makes for the tests.
TEST(StoredTargets, AJunctionGivesBackItsTargetAndALinkItsPrintName) {
  std::vector<unsigned char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD size = 0;
  const wchar_t junction[] = L"\\??\\C:\\donn\u00e9es\\\u65e5";
  ASSERT_EQ(0u, junctionDataOf(junction, wcslen(junction), data.data(), &size));
  char target[storedTargetSize];
  size_t length = 0;
  ASSERT_EQ(0u, storedTargetOf(data.data(), size, target, &length));
  EXPECT_STREQ(
      "\\??\\C:\\donn\xc3\xa9"
      "es\\\xe6\x97\xa5",
      target);
  EXPECT_EQ(strlen(target), length);
  // Its print name, as the system's tools show it, is the path after \??\.
  const unsigned char* names = data.data() + 16;
  EXPECT_EQ(0,
            memcmp(names + (wcslen(junction) + 1) * 2, junction + 4, (wcslen(junction) - 4) * 2));
  // Cut short inside its name, the data holds no target.
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_REPARSE_DATA),
            storedTargetOf(data.data(), 16 + 4, target, &length));

  // A symbolic link: its print name where it has one, else its substitute name.
  const wchar_t substitute[] = L"\\??\\D:\\t";
  const wchar_t print[] = L"D:\\t";
  std::vector<unsigned char> link(64, 0);
  ULONG tag = IO_REPARSE_TAG_SYMLINK;
  USHORT where[4] = {0, sizeof substitute - 2, sizeof substitute, sizeof print - 2};
  memcpy(link.data(), &tag, 4);
  memcpy(link.data() + 8, where, sizeof where);
  memcpy(link.data() + 20, substitute, sizeof substitute);
  memcpy(link.data() + 20 + sizeof substitute, print, sizeof print);
  ASSERT_EQ(0u,
            storedTargetOf(link.data(), 20 + sizeof substitute + sizeof print, target, &length));
  EXPECT_STREQ("D:\\t", target);
  where[3] = 0;
  memcpy(link.data() + 8, where, sizeof where);
  ASSERT_EQ(0u,
            storedTargetOf(link.data(), 20 + sizeof substitute + sizeof print, target, &length));
  EXPECT_STREQ("\\??\\D:\\t", target);
  // Another kind of reparse point stores no target.
  tag = 0x80000017;  // a deduplicated file's
  memcpy(link.data(), &tag, 4);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_REPARSE_DATA),
            storedTargetOf(link.data(), 20 + sizeof substitute + sizeof print, target, &length));
}
#endif
}  // namespace
