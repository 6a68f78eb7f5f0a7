#include "collect/entry_table.h"

#include <cstdlib>
#include <cstring>

EntryTable destinationTable;
EntryTable sourceTable;

int initEntryTables() {
  destinationTable.capacity = tableGrowth;
  sourceTable.capacity = tableGrowth;
  destinationTable.entries = static_cast<FileEntry*>(malloc(sizeof(FileEntry) * tableGrowth));
  sourceTable.entries = static_cast<FileEntry*>(malloc(sizeof(FileEntry) * tableGrowth));
  return destinationTable.entries && sourceTable.entries ? 0 : 1;
}

static int growTable(EntryTable* table) {
  int32_t capacity = table->capacity + tableGrowth;
  FileEntry* grown = static_cast<FileEntry*>(
      realloc(table->entries, sizeof(FileEntry) * static_cast<size_t>(capacity)));
  if (!grown) return 1;
  table->entries = grown;
  table->capacity = capacity;
  return 0;
}

int addFileEntry(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
                 uint64_t size, FileTime lastWrite) {
  return addKindEntry(table, directory, name, rootLength, entryFile, size, lastWrite, nullptr, 1,
                      FileIdentity{0, 0});
}

static int noteLinkedName(EntryTable* table, int32_t entry, const FileIdentity& identity) {
  if (table->linkedCount == table->linkedCapacity) {
    int32_t capacity = table->linkedCapacity + tableGrowth;
    void* grown = realloc(table->linkedNames, sizeof(LinkedName) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    table->linkedNames = static_cast<LinkedName*>(grown);
    table->linkedCapacity = capacity;
  }
  table->linkedNames[table->linkedCount++] = LinkedName{entry, identity};
  return 0;
}

int addKindEntry(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
                 int kind, uint64_t size, FileTime lastWrite, const char* target, uint32_t links,
                 const FileIdentity& identity) {
  if (table->count >= table->capacity - 1 && growTable(table)) return addFileNoMemory;
  // The directory begins with the root as the walk was given it.
  size_t directoryLength = strlen(directory);
  size_t cut = static_cast<size_t>(rootLength) < directoryLength ? rootLength : directoryLength;
  size_t head = directoryLength - cut;
  size_t nameLength = strlen(name);
  // A link's target lives after the path, in the same block.
  size_t targetLength = kind == entryLink && target ? strlen(target) : 0;
  size_t extra = kind == entryLink ? targetLength + 1 : 0;
  char* relative = static_cast<char*>(malloc(head + nameLength + 1 + extra));
  if (!relative) return addFileNoMemory;
  memcpy(relative, directory + cut, head);
  memcpy(relative + head, name, nameLength + 1);
  if (extra) {
    if (targetLength) memcpy(relative + head + nameLength + 1, target, targetLength);
    relative[head + nameLength + 1 + targetLength] = '\0';
  }
  if (kind == entryFile && links > 1 && (identity.volume || identity.index) &&
      noteLinkedName(table, table->count, identity)) {
    free(relative);
    return addFileNoMemory;
  }
  FileEntry* entry = &table->entries[table->count];
  entry->relativePath = relative;
  entry->size = size;
  entry->lastWriteTime = lastWrite;
  entry->key = computePathKey(relative, head + nameLength);
  entry->handled = 0;
  entry->nameRules = namesAsPlatform;
  entry->clash = 0;
  entry->excluded = 0;
  entry->kind = static_cast<uint8_t>(kind);
  ++table->count;
  return addFileStored;
}

int addEntryMetadata(EntryTable* table, const EntryMetadata& metadata) {
  if (table->metadataCapacity < table->capacity) {
    void* grown =
        realloc(table->metadata, sizeof(EntryMetadata) * static_cast<size_t>(table->capacity));
    if (!grown) return addFileNoMemory;
    table->metadata = static_cast<EntryMetadata*>(grown);
    table->metadataCapacity = table->capacity;
  }
  table->metadata[table->count - 1] = metadata;
  return addFileStored;
}

const EntryMetadata& entryMetadataOf(const EntryTable& table, int32_t entry) {
  static const EntryMetadata none = EntryMetadata{};
  return table.metadata && entry < table.metadataCapacity ? table.metadata[entry] : none;
}

// The path of name in directory after rootLength, in a buffer of its own; null when
// memory ran out.
static char* relativeCopy(const char* directory, const char* name, int32_t rootLength) {
  size_t directoryLength = strlen(directory);
  size_t cut = static_cast<size_t>(rootLength) < directoryLength ? rootLength : directoryLength;
  size_t head = directoryLength - cut, nameLength = strlen(name);
  char* relative = static_cast<char*>(malloc(head + nameLength + 1));
  if (!relative) return nullptr;
  memcpy(relative, directory + cut, head);
  memcpy(relative + head, name, nameLength + 1);
  return relative;
}

int addExcludedFolder(EntryTable* table, const char* directory, const char* name,
                      int32_t rootLength) {
  if (table->excludedFolderCount == table->excludedFolderCapacity) {
    int32_t capacity = table->excludedFolderCapacity + 64;
    void* grown = realloc(table->excludedFolders, sizeof(char*) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    table->excludedFolders = static_cast<char**>(grown);
    table->excludedFolderCapacity = capacity;
  }
  char* relative = relativeCopy(directory, name, rootLength);
  if (!relative) return 1;
  table->excludedFolders[table->excludedFolderCount++] = relative;
  return 0;
}

int addSkippedEntry(EntryTable* table, const char* directory, const char* name, int32_t rootLength,
                    const char* reason) {
  if (table->skippedCount == table->skippedCapacity) {
    int32_t capacity = table->skippedCapacity + 64;
    void* grown = realloc(table->skipped, sizeof(SkippedEntry) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    table->skipped = static_cast<SkippedEntry*>(grown);
    table->skippedCapacity = capacity;
  }
  char* relative = relativeCopy(directory, name, rootLength);
  if (!relative) return 1;
  table->skipped[table->skippedCount++] = SkippedEntry{relative, reason};
  return 0;
}

void clearSkippedEntries(EntryTable* table) {
  for (int32_t i = 0; i < table->skippedCount; ++i) free(table->skipped[i].relativePath);
  table->skippedCount = 0;
}

void clearExcludedFolders(EntryTable* table) {
  for (int32_t i = 0; i < table->excludedFolderCount; ++i) free(table->excludedFolders[i]);
  table->excludedFolderCount = 0;
}

int addTaggedFolder(EntryTable* table, const char* folder, int32_t rootLength) {
  if (table->taggedFolderCount == table->taggedFolderCapacity) {
    int32_t capacity = table->taggedFolderCapacity + 8;
    void* grown = realloc(table->taggedFolders, sizeof(char*) * static_cast<size_t>(capacity));
    if (!grown) return 1;
    table->taggedFolders = static_cast<char**>(grown);
    table->taggedFolderCapacity = capacity;
  }
  size_t length = strlen(folder);
  size_t cut = static_cast<size_t>(rootLength) < length ? rootLength : length;
  char* relative = static_cast<char*>(malloc(length - cut + 1));
  if (!relative) return 1;
  memcpy(relative, folder + cut, length - cut + 1);
  table->taggedFolders[table->taggedFolderCount++] = relative;
  return 0;
}

void clearTaggedFolders(EntryTable* table) {
  for (int32_t i = 0; i < table->taggedFolderCount; ++i) free(table->taggedFolders[i]);
  table->taggedFolderCount = 0;
}

static void freeTable(EntryTable* table) {
  clearExcludedFolders(table);
  free(table->excludedFolders);
  clearTaggedFolders(table);
  free(table->taggedFolders);
  clearSkippedEntries(table);
  free(table->skipped);
  free(table->linkedNames);
  free(table->metadata);
  if (!table->entries) return;
  for (int32_t i = 0; i < table->count; ++i) free(table->entries[i].relativePath);
}

void freeEntryTables() {
  freeTable(&destinationTable);
  freeTable(&sourceTable);
  free(destinationTable.entries);
  free(sourceTable.entries);
  destinationTable = EntryTable{};
  sourceTable = EntryTable{};
}
