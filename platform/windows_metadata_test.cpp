// Windows: the attributes and the security descriptor an exact mirror keeps, set
// through the folder held for an entry and given back by the listing, and files
// marked read-only that a mirror replaces, deletes and moves away.
#include "platform/platform.h"

#if defined(TALVEN_WINDOWS)
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <string>
#include <vector>

#include "platform/entries-win32.h"
#include "platform/folders.h"
#include "platform/held_tree_fixture.h"
#include "platform/metadata.h"
#include "platform/test_support.h"
#include "platform/tree_reach-win32.h"
#include "platform/utf16-win32.h"

namespace {
struct Listed {
  std::string name;
  EntryMetadata metadata;
  int64_t lastWrite;
};

void collect(void* context, const ListedEntry* entry) {
  static_cast<std::vector<Listed>*>(context)->push_back(
      Listed{entry->name, entry->metadata, fileTimeValue(entry->lastWrite)});
}

DWORD attributesAt(const std::string& path) {
  WidePath wide(path.c_str());
  return wide.text ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
}

constexpr DWORD hiddenReadOnly =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;

class WindowsMetadata : public HeldTreeTest {
 protected:
  std::string at(const std::string& relative) const { return joinPath(root, relative); }
  // The entry name of the root as the listing gives it, with listMetadata or asIs.
  Listed listed(const std::string& name, int asIs = listMetadata) {
    std::vector<Listed> entries;
    EXPECT_EQ(enumerateListed, listDirectory(root.c_str(), asIs, collect, &entries));
    for (const Listed& entry : entries)
      if (entry.name == name) return entry;
    ADD_FAILURE() << name << " is not listed";
    return Listed{};
  }
  FolderHandle rootHandle() {
    EXPECT_EQ(folderDone, reachRootIn(&folders));
    return folders.rootHandle;
  }
  MetadataOutcome setAttributes(const std::string& name, int kind, DWORD attributes) {
    EntryMetadata metadata = {};
    metadata.attributes = attributes;
    MetadataOutcome outcome;
    applyMetadataIn(rootHandle(), name.c_str(), kind, metadata, nullptr, metadataAttributes,
                    &outcome);
    return outcome;
  }
  // The security descriptor of the entry name of the root, packed.
  std::string security(const std::string& name) {
    ExtraMetadata extra = {nullptr, 0, 0};
    EXPECT_EQ(0, readExtraMetadataIn(rootHandle(), name.c_str(), metadataAcls, &extra));
    std::string bytes(extra.bytes ? extra.bytes : "", extra.size);
    freeExtraMetadata(&extra);
    return bytes;
  }
};

TEST_F(WindowsMetadata, AttributesAreSetThroughTheHeldFolderAndListedBack) {
  ASSERT_TRUE(writeFileBytes(at("file"), "x"));
  ASSERT_TRUE(makeFolders(at("folder")));
  MetadataOutcome outcome = setAttributes("file", entryFile, hiddenReadOnly);
  EXPECT_EQ(0, outcome.failedPart) << outcome.failure;
  if (outcome.notHeld & metadataAttributes)
    GTEST_SKIP() << "this file system keeps not every attribute (hidden: an extended attribute)";
  EXPECT_EQ(hiddenReadOnly, attributesAt(at("file")) & keptAttributes);
  EXPECT_EQ(hiddenReadOnly, listed("file").metadata.attributes);
  EXPECT_EQ(0u, listed("file", 0).metadata.attributes) << "only listed where asked for";
  EXPECT_EQ(0, fileTimeValue(listed("file", 0).metadata.changeTime));
  outcome = setAttributes("folder", entryFolder, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(0, outcome.failedPart | outcome.notHeld | outcome.notAllowed);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            listed("folder").metadata.attributes);
  EXPECT_TRUE(attributesAt(at("folder")) & FILE_ATTRIBUTE_DIRECTORY);

  // Back to plain: the read-only mark comes off, and the file can be written again.
  outcome = setAttributes("file", entryFile, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(0, outcome.failedPart | outcome.notHeld | outcome.notAllowed);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), listed("file").metadata.attributes);
  EXPECT_TRUE(writeFileBytes(at("file"), "written again"));
  // Only an entry of the kind named is changed.
  EXPECT_EQ(metadataAttributes,
            setAttributes("folder", entryFile, FILE_ATTRIBUTE_READONLY).failedPart);
  EXPECT_EQ(metadataAttributes,
            setAttributes("file", entryFolder, FILE_ATTRIBUTE_HIDDEN).failedPart);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
            listed("folder").metadata.attributes);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), listed("file").metadata.attributes);
  // The held folder itself is ".".
  outcome = setAttributes(".", entryFolder, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(0, outcome.failedPart | outcome.notHeld | outcome.notAllowed);
  EXPECT_TRUE(attributesAt(root) & FILE_ATTRIBUTE_HIDDEN);
  // Nothing but one name of the held folder is taken.
  EXPECT_EQ(metadataAttributes, setAttributes("..", entryFolder, 0).failedPart);
  EXPECT_EQ(metadataAttributes, setAttributes("folder\\file", entryFile, 0).failedPart);
  EXPECT_EQ(metadataAttributes, setAttributes("gone", entryFile, 0).failedPart);
  EXPECT_TRUE(isNoSuchEntry(setAttributes("gone", entryFile, 0).failure));
}

TEST_F(WindowsMetadata, AChangeOfAttributesAloneMovesTheChangeTimeNotTheWriteTime) {
  ASSERT_TRUE(writeFileBytes(at("file"), "x"));
  Listed before = listed("file");
  EXPECT_NE(0, fileTimeValue(before.metadata.changeTime));
  // The system's clock may move in steps of some milliseconds.
  Sleep(50);
  constexpr DWORD hidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  MetadataOutcome outcome = setAttributes("file", entryFile, hidden);
  if (outcome.notHeld & metadataAttributes) GTEST_SKIP() << "no hidden attribute kept here";
  Listed after = listed("file");
  EXPECT_GT(fileTimeValue(after.metadata.changeTime), fileTimeValue(before.metadata.changeTime));
  EXPECT_EQ(before.lastWrite, after.lastWrite);
  // Attributes that are already there are not set again: the change time stays.
  Sleep(50);
  EXPECT_EQ(0, setAttributes("file", entryFile, hidden).notHeld);
  EXPECT_EQ(fileTimeValue(after.metadata.changeTime),
            fileTimeValue(listed("file").metadata.changeTime));
}

// Gives the file at path the security descriptor of the text sddl, as another
// program would.
bool setSecurityText(const std::string& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return false;
  WidePath wide(path.c_str());
  BOOL set = wide.text && SetFileSecurityW(wide.text, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return set;
}

// The SID of the user this process runs as, in text; empty where unread.
std::wstring processUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  unsigned char buffer[256];
  DWORD size = 0;
  std::wstring text;
  wchar_t* sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    text = sid;
    LocalFree(sid);
  }
  CloseHandle(token);
  return text;
}

TEST_F(WindowsMetadata, TheSecurityDescriptorGoesFromOneFileToAnotherAndToANewCopy) {
  ASSERT_TRUE(writeFileBytes(at("model"), "x"));
  ASSERT_TRUE(writeFileBytes(at("twin"), "x"));
  // This user may do everything, nobody else anything.
  std::wstring user = processUser();
  ASSERT_FALSE(user.empty());
  ASSERT_TRUE(setSecurityText(at("model"), (L"D:P(A;;FA;;;" + user + L")").c_str()));
  std::string model = security("model");
  ASSERT_FALSE(model.empty()) << "no security descriptor read";
  ExtraMetadata extra = {const_cast<char*>(model.data()), model.size(), model.size()};
  if (security("twin") == model) GTEST_SKIP() << "every file has one descriptor here";
  MetadataOutcome outcome;
  applyMetadataIn(rootHandle(), "twin", entryFile, EntryMetadata{}, &extra, metadataAcls, &outcome);
  EXPECT_EQ(0, outcome.failedPart | outcome.notHeld | outcome.notAllowed) << outcome.failure;
  EXPECT_EQ(model, security("twin"));
  ExtraMetadata read = {nullptr, 0, 0};
  ExtraMetadata again = {nullptr, 0, 0};
  readExtraMetadataIn(rootHandle(), "twin", metadataAcls, &read);
  readExtraMetadataIn(rootHandle(), "model", metadataAcls, &again);
  EXPECT_TRUE(sameExtraMetadata(read, again));
  // Asked for no descriptor, none is read.
  EXPECT_EQ(0, readExtraMetadataIn(rootHandle(), "twin", metadataAttributes, &read));
  EXPECT_EQ(0u, read.size);
  EXPECT_FALSE(sameExtraMetadata(read, again));

  // A new copy, open as the copier writes it, takes it before it has its name.
  FileHandle copy = createNewFileIn(&folders, at("copy").c_str(), 0666);
  ASSERT_NE(noFile, copy);
  EXPECT_EQ(1, writeToFile(copy, "x", 1));
  applyMetadataTo(copy, EntryMetadata{}, &again, metadataAcls | metadataAttributes, &outcome);
  EXPECT_EQ(0, outcome.failedPart | outcome.notHeld | outcome.notAllowed) << outcome.failure;
  EXPECT_EQ(1, writeToFile(copy, "y", 1)) << "the copy's own handle still writes";
  EXPECT_EQ(0, closeFile(copy));
  EXPECT_EQ(model, security("copy"));
  // The descriptor read from an open source is the one read through its folder.
  SourceFile source;
  int failure = 0;
  ASSERT_EQ(sourceOpened, openSourceFile(at("model").c_str(), &source, &failure));
  EXPECT_EQ(0, readExtraMetadataOf(source.handle, metadataAcls, &read));
  EXPECT_TRUE(sameExtraMetadata(read, again));
  closeFile(source.handle);
  freeExtraMetadata(&read);
  freeExtraMetadata(&again);
  EXPECT_EQ(nullptr, again.bytes);
  EXPECT_EQ(0u, again.size);
}

TEST_F(WindowsMetadata, ADescriptorThatWouldLockTheCopyOutIsNotKept) {
  // Everyone, the owner too, may only read: the copy could neither be stamped nor
  // take its name by its path.
  ASSERT_TRUE(writeFileBytes(at("locked"), "x"));
  ASSERT_TRUE(setSecurityText(at("locked"), L"D:P(A;;FR;;;WD)"));
  std::string locked = security("locked");
  ASSERT_FALSE(locked.empty());
  ExtraMetadata extra = {const_cast<char*>(locked.data()), locked.size(), locked.size()};
  FileHandle copy = createNewFileIn(&folders, at("copy").c_str(), 0666);
  ASSERT_NE(noFile, copy);
  MetadataOutcome outcome;
  applyMetadataTo(copy, EntryMetadata{}, &extra, metadataAcls, &outcome);
  EXPECT_EQ(0, outcome.failedPart) << outcome.failure;
  EXPECT_EQ(metadataAcls, outcome.notAllowed) << "the descriptor was kept";
  EXPECT_EQ(0, closeFile(copy));
  EXPECT_NE(locked, security("copy"));
  EXPECT_EQ(0, moveFileIn(&folders, at("copy").c_str(), at("placed").c_str(), 0));
  EXPECT_EQ(folderDone, deleteFileIn(&folders, at("placed").c_str()));
}

class ReadOnlyFiles : public HeldTreeTest {
 protected:
  std::string at(const std::string& relative) const { return joinPath(root, relative); }
  std::string text(const std::string& path) {
    std::string bytes;
    return readFileBytes(path, &bytes) ? bytes : "(unreadable)";
  }
  void writeReadOnly(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(writeFileBytes(path, bytes));
    ASSERT_TRUE(setWritable(path, false));
    ASSERT_TRUE(attributesAt(path) & FILE_ATTRIBUTE_READONLY);
  }
};

TEST_F(ReadOnlyFiles, AnUpdateReplacesAFileMarkedReadOnly) {
  writeReadOnly(at("sub/old"), "old");
  ASSERT_TRUE(writeFileBytes(at("sub/new"), "new"));
  EXPECT_EQ(replaceableFile, checkReplaceableIn(&folders, at("sub/old").c_str()));
  EXPECT_EQ(0, moveFileIn(&folders, at("sub/new").c_str(), at("sub/old").c_str(), 1))
      << lastFailureCode();
  EXPECT_EQ("new", text(at("sub/old")));
  EXPECT_FALSE(pathExists(at("sub/new")));
  EXPECT_FALSE(attributesAt(at("sub/old")) & FILE_ATTRIBUTE_READONLY);
  // Never over a folder, and a move that fails leaves the mark where it was.
  writeReadOnly(at("sub/kept"), "kept");
  ASSERT_TRUE(makeFolders(at("sub/folder")));
  EXPECT_NE(0, moveFileIn(&folders, at("sub/gone").c_str(), at("sub/kept").c_str(), 1));
  EXPECT_TRUE(attributesAt(at("sub/kept")) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ("kept", text(at("sub/kept")));
  EXPECT_NE(0, moveFileIn(&folders, at("sub/kept").c_str(), at("sub/folder").c_str(), 1));
  EXPECT_EQ("kept", text(at("sub/kept")));
}

TEST_F(ReadOnlyFiles, AFileMarkedReadOnlyIsDeletedAndItsOtherNamesKeepTheMark) {
  writeReadOnly(at("alone"), "alone");
  EXPECT_EQ(folderDone, deleteFileIn(&folders, at("alone").c_str())) << lastFailureCode();
  EXPECT_FALSE(pathExists(at("alone")));
  writeReadOnly(at("first"), "shared");
  if (!makeHardLink(at("first"), at("second"))) GTEST_SKIP() << "no names of one file here";
  EXPECT_EQ(folderDone, deleteFileIn(&folders, at("second").c_str())) << lastFailureCode();
  EXPECT_FALSE(pathExists(at("second")));
  EXPECT_EQ("shared", text(at("first")));
  EXPECT_TRUE(attributesAt(at("first")) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(folderMissing, deleteFileIn(&folders, at("second").c_str()));
}

TEST_F(ReadOnlyFiles, AFileMarkedReadOnlyMovesToTheBackupFolderAndIsLinkedOver) {
  std::string backupRoot = joinPath(scratch, "backup");
  ASSERT_TRUE(makeFolders(backupRoot));
  HeldFolder backupHeld;
  ASSERT_EQ(folderDone, holdFolder(&backupHeld, backupRoot.c_str()));
  TreeFolders backup;
  ASSERT_EQ(0, openTreeFolders(&backup, &backupHeld));
  writeReadOnly(at("a/old"), "old");
  std::string moved = joinPath(backupRoot, "a\\old");
  EXPECT_EQ(folderDone, moveToBackupIn(&folders, at("a/old").c_str(), &backup, moved.c_str()))
      << lastFailureCode();
  EXPECT_EQ("old", text(moved));
  EXPECT_FALSE(pathExists(at("a/old")));
  closeTreeFolders(&backup);
  releaseHeldFolder(&backupHeld);

  // An exact mirror's other name of a file takes the place of one marked read-only.
  ASSERT_TRUE(writeFileBytes(at("a/first"), "first"));
  writeReadOnly(at("a/place"), "place");
  EXPECT_EQ(folderDone, makeHardLinkIn(&folders, at("a/first").c_str(), at("a/place").c_str(), 1))
      << lastFailureCode();
  EXPECT_EQ("first", text(at("a/place")));
  EXPECT_EQ((std::vector<std::string>{"a\\first", "a\\place"}), listFiles(root));
}
}  // namespace
#endif
