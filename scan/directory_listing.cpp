#include "scan/directory_listing.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr int initialFileSlots = 128;
constexpr int fileGrowth = 256;
constexpr int initialSubdirectorySlots = 32;
constexpr int subdirectoryGrowth = 32;

char* copyName(const char* name) {
  size_t length = strlen(name);
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy) memcpy(copy, name, length + 1);
  return copy;
}

// realloc that leaves the old block in place on failure.
template <typename T>
int growArray(T** array, int32_t newCapacity) {
  T* grown = static_cast<T*>(realloc(*array, sizeof(T) * static_cast<size_t>(newCapacity)));
  if (!grown) return 1;
  *array = grown;
  return 0;
}
}  // namespace

DirectoryListing::DirectoryListing()
    : fileNames(static_cast<char**>(malloc(sizeof(char*) * initialFileSlots))),
      subdirectoryNames(static_cast<char**>(malloc(sizeof(char*) * initialSubdirectorySlots))),
      fileSizes(static_cast<uint64_t*>(malloc(sizeof(uint64_t) * initialFileSlots))),
      fileTimes(static_cast<FileTime*>(malloc(sizeof(FileTime) * initialFileSlots))),
      fileDetails(static_cast<FileDetail*>(malloc(sizeof(FileDetail) * initialFileSlots))),
      subdirectoryTimes(
          static_cast<FileTime*>(malloc(sizeof(FileTime) * initialSubdirectorySlots))),
      subdirectoryMetadata(
          static_cast<EntryMetadata*>(malloc(sizeof(EntryMetadata) * initialSubdirectorySlots))),
      fileCapacity(initialFileSlots),
      subdirectoryCapacity(initialSubdirectorySlots),
      fileCount(0),
      subdirectoryCount(0) {
  // A listing missing one of its file arrays cannot store files at all.
  if (!fileNames || !fileSizes || !fileTimes || !fileDetails) {
    free(fileNames);
    free(fileSizes);
    free(fileTimes);
    free(fileDetails);
    fileNames = nullptr;
    fileSizes = nullptr;
    fileTimes = nullptr;
    fileDetails = nullptr;
  }
  if (!subdirectoryNames || !subdirectoryTimes || !subdirectoryMetadata) {
    free(subdirectoryNames);
    free(subdirectoryTimes);
    free(subdirectoryMetadata);
    subdirectoryNames = nullptr;
    subdirectoryTimes = nullptr;
    subdirectoryMetadata = nullptr;
  }
}

DirectoryListing::~DirectoryListing() {
  if (fileNames)
    for (int32_t i = 0; i < fileCount; ++i) {
      free(fileNames[i]);
      free(fileDetails[i].target);
    }
  if (subdirectoryNames)
    for (int32_t i = 0; i < subdirectoryCount; ++i) free(subdirectoryNames[i]);
  free(fileNames);
  free(subdirectoryNames);
  free(fileSizes);
  free(fileTimes);
  free(fileDetails);
  free(subdirectoryTimes);
  free(subdirectoryMetadata);
}

int DirectoryListing::growFiles() {
  int32_t capacity = fileCapacity + fileGrowth;
  if (growArray(&fileNames, capacity) || growArray(&fileSizes, capacity) ||
      growArray(&fileTimes, capacity) || growArray(&fileDetails, capacity))
    return 1;
  fileCapacity = capacity;
  return 0;
}

int DirectoryListing::growSubdirectories() {
  int32_t capacity = subdirectoryCapacity + subdirectoryGrowth;
  if (growArray(&subdirectoryNames, capacity) || growArray(&subdirectoryTimes, capacity) ||
      growArray(&subdirectoryMetadata, capacity))
    return 1;
  subdirectoryCapacity = capacity;
  return 0;
}

int DirectoryListing::addEntry(const char* name, int isDirectory, uint64_t size, uint32_t timeLow,
                               uint32_t timeHigh) {
  if (name[0] == '\0') return addEntryEmptyName;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return addEntryStored;
  if (isDirectory) {
    if (!subdirectoryNames) return addEntryNoArray;
    if (subdirectoryCount >= subdirectoryCapacity && growSubdirectories()) return addEntryNoMemory;
    char* copy = copyName(name);
    if (!copy) return addEntryNoMemory;
    subdirectoryTimes[subdirectoryCount] = FileTime{timeLow, timeHigh};
    subdirectoryMetadata[subdirectoryCount] = EntryMetadata{};
    subdirectoryNames[subdirectoryCount++] = copy;
    return addEntryStored;
  }
  if (!fileNames) return addEntryNoArray;
  if (fileCount >= fileCapacity && growFiles()) return addEntryNoMemory;
  char* copy = copyName(name);
  if (!copy) return addEntryNoMemory;
  fileNames[fileCount] = copy;
  fileSizes[fileCount] = size;
  fileTimes[fileCount] = FileTime{timeLow, timeHigh};
  fileDetails[fileCount] = FileDetail{FileIdentity{0, 0}, 1, entryFile, nullptr, EntryMetadata{}};
  ++fileCount;
  return addEntryStored;
}

int DirectoryListing::addListed(const ListedEntry& entry) {
  int isFolder = entry.kind == entryFile || entry.kind == entryLink ? 0 : entry.kind;
  char* target = nullptr;
  if (entry.target && !(target = copyName(entry.target))) return addEntryNoMemory;
  int result =
      addEntry(entry.name, isFolder, entry.size, entry.lastWrite.low, entry.lastWrite.high);
  if (result != addEntryStored || isFolder) {
    free(target);
    // "." and ".." store nothing; a stored folder is the last one.
    if (result == addEntryStored && isFolder && subdirectoryCount > 0 &&
        strcmp(subdirectoryNames[subdirectoryCount - 1], entry.name) == 0)
      subdirectoryMetadata[subdirectoryCount - 1] = entry.metadata;
    return result;
  }
  // "." and ".." store nothing; a stored file is the last one.
  if (fileCount == 0 || strcmp(fileNames[fileCount - 1], entry.name) != 0) {
    free(target);
    return result;
  }
  fileDetails[fileCount - 1] =
      FileDetail{entry.identity, entry.links, entry.kind, target, entry.metadata};
  return result;
}

const char* DirectoryListing::nameAt(int index, int which) const {
  if (which == 0) return index < fileCount ? fileNames[index] : nullptr;
  return index < subdirectoryCount ? subdirectoryNames[index] : nullptr;
}
