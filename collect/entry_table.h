// The two entry tables that the scans fill and the reconciliation compares.
#pragma once

#include <cstdint>

#include "collect/path_key.h"
#include "platform/platform.h"

/// One listed file.
struct FileEntry {
  /// The path below the root, beginning with a separator, in the file's own case.
  char* relativePath;
  /// The whole file size in bytes.
  uint64_t size;
  FileTime lastWriteTime;
  PathKey key;
  /// Set by the reconciliation once the entry is dealt with; kept apart from the key
  /// so that an entry whose own key is 0xFFFFFFFF never passes for handled.
  uint8_t handled;
  /// The NameRules of the destination where this path lies, set by the
  /// reconciliation; namesAsPlatform until then. Where it is another, the key is
  /// the folded one (computeFoldedPathKey).
  uint8_t nameRules;
  /// Set for a source entry that the destination takes for an earlier one, which
  /// differs from it only in letter case: it is not copied.
  uint8_t clash;
  /// Set for a destination file that the filters leave out, listed only with
  /// --delete-excluded (which deletes it): it is no file of the mirror.
  uint8_t excluded : 1;
  /// entryFile, entryLink or entryFolder (platform.h): links and folders are listed as
  /// entries only where the run keeps them (--exact). A link's target follows the NUL
  /// of its relative path (linkTargetOf).
  uint8_t kind : 3;
};

// The tables hold one entry a listed file: the flags share the word after the key.
static_assert(sizeof(FileEntry) <= 32, "a file entry takes at most 32 bytes");

/// A link entry's target, as its listing read it.
inline const char* linkTargetOf(const FileEntry& entry) {
  const char* end = entry.relativePath;
  while (*end) ++end;
  return end + 1;
}

/// A listed file that has more than one name, by its table index and identity.
struct LinkedName {
  int32_t entry;
  FileIdentity identity;
};

/// An entry the walk had to leave out: a folder it could not list whole, a name too
/// long or that cannot be converted.
struct SkippedEntry {
  char* relativePath;  ///< below the root, beginning with a separator; empty: the root
  const char* reason;  ///< the walk's words, which live as long as the program
};

/// A growable array of entries, in the order the walk reported them, and what the
/// filters left out of the walk.
struct EntryTable {
  FileEntry* entries;
  int32_t count;
  int32_t capacity;
  /// Bytes of the root of the tree listed into it, cut off every full path: set by
  /// its scan before the walk.
  int32_t rootLength = 0;
  /// The relative paths of the folders the filters left out, as the walk met them.
  char** excludedFolders = nullptr;
  int32_t excludedFolderCount = 0;
  int32_t excludedFolderCapacity = 0;
  /// Files the filters left out where the walk met them (not those inside an
  /// excluded folder, which it never lists).
  int32_t excludedFiles = 0;
  /// The relative paths of the folders below the root that hold the backup tag, which
  /// the walk passed over whole, as it met them.
  char** taggedFolders = nullptr;
  int32_t taggedFolderCount = 0;
  int32_t taggedFolderCapacity = 0;
  /// What the walk had to leave out, in the order met, and whether its scan tells
  /// each on the console (-v).
  SkippedEntry* skipped = nullptr;
  int32_t skippedCount = 0;
  int32_t skippedCapacity = 0;
  int32_t tellSkipped = 0;
  /// The files with more than one name, in table order: listed only where the run
  /// keeps hard links (--exact).
  LinkedName* linkedNames = nullptr;
  int32_t linkedCount = 0;
  int32_t linkedCapacity = 0;
  /// The root folder's last-write time, where the run keeps folder times.
  FileTime rootTime = FileTime{0, 0};
  /// Where the run keeps metadata: each entry's, parallel to entries (allocated only
  /// then, so that a default run pays nothing), and the root folder's.
  EntryMetadata* metadata = nullptr;
  int32_t metadataCapacity = 0;
  int32_t keepsMetadata = 0;
  EntryMetadata rootMetadata = EntryMetadata{};
  /// Links the walk did not follow, and entries of other kinds, left out.
  int32_t linksLeftOut = 0;
  int32_t othersLeftOut = 0;
};

/// Records the tables start with, and grow by.
constexpr int32_t tableGrowth = 512;

extern EntryTable destinationTable;
extern EntryTable sourceTable;

/// Results of addFileEntry.
enum AddFileResult { addFileStored = 0, addFileNoMemory = 1 };

/// Allocates both tables with 512 records each; 0 on success.
int initEntryTables();
/// Appends one entry made of the full path's part after rootLength; grows the table
/// one record early, as count reaches capacity - 1. Returns an AddFileResult.
int addFileEntry(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
                 uint64_t size, FileTime lastWrite);
/// Appends one entry as addFileEntry does, of kind (entryFile, entryLink or
/// entryFolder), a link with its target, and notes a file of more than one name (links
/// above 1, identity read) in linkedNames. Returns an AddFileResult.
int addKindEntry(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
                 int kind, uint64_t size, FileTime lastWrite, const char* target, uint32_t links,
                 const FileIdentity& identity);
/// Keeps metadata as the last entry's (addKindEntry's), in the side array, which grows
/// with the entries. Returns an AddFileResult.
int addEntryMetadata(EntryTable* table, const EntryMetadata& metadata);
/// The metadata the table keeps of entry; all zero where it keeps none.
const EntryMetadata& entryMetadataOf(const EntryTable& table, int32_t entry);
/// Adds the folder name in directory to the table's excluded folders, by its path
/// after rootLength; 0, or 1 when memory ran out (the folder then goes untold).
int addExcludedFolder(EntryTable* table, const char* directory, const char* name,
                      int32_t rootLength);
/// Adds the folder (a full path that begins with the root) to the table's tagged
/// folders, by its path after rootLength; 0, or 1 when memory ran out.
int addTaggedFolder(EntryTable* table, const char* folder, int32_t rootLength);
/// Forgets the tagged folders of one table.
void clearTaggedFolders(EntryTable* table);
/// Forgets the excluded folders of one table.
void clearExcludedFolders(EntryTable* table);
/// Adds the entry name of directory, which the walk left out for reason, by its path
/// after rootLength; 0, or 1 when memory ran out (the entry then goes untold).
int addSkippedEntry(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
                    const char* reason);
/// Forgets the skipped entries of one table.
void clearSkippedEntries(EntryTable* table);
/// Frees every path string and both record arrays.
void freeEntryTables();
