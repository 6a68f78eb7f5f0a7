// The entries of one directory, read whole before the walker reports or walks any.
#pragma once

#include <cstdint>

#include "platform/platform.h"

/// Results of DirectoryListing::addEntry.
enum AddEntryResult {
  addEntryStored = 0,     ///< stored; or the name was "." or "..", and nothing was stored
  addEntryNoArray = 1,    ///< the array for this kind of entry is missing
  addEntryEmptyName = 2,  ///< the name is empty
  addEntryNoMemory = 3,   ///< the copy of the name or the growth failed; nothing stored
};

/// What a listing keeps of a file beyond its name, size and time: its kind (a file,
/// or a link given as it is), a link's target, the names it has, and its metadata.
struct FileDetail {
  FileIdentity identity;  ///< read where links is above 1
  uint32_t links;
  int32_t kind;            ///< entryFile or entryLink
  char* target;            ///< a link's target, owned by the listing; null for a file
  EntryMetadata metadata;  ///< read where the listing was asked for it (listMetadata)
};

/// File names with their sizes and times, and subdirectory names, of one directory.
class DirectoryListing {
 public:
  DirectoryListing();
  virtual ~DirectoryListing();

  /// Stores name as a subdirectory (isDirectory nonzero) or as a file with its size
  /// and last-write time. Returns an AddEntryResult.
  int addEntry(const char* name, int isDirectory, uint64_t size, uint32_t timeLow,
               uint32_t timeHigh);
  /// Stores what listDirectory gave: a folder (with its time), or a file or a link as
  /// it is. Returns an AddEntryResult.
  int addListed(const ListedEntry& entry);
  /// File name (which 0) or subdirectory name (which nonzero) at index; null past the end.
  const char* nameAt(int index, int which) const;
  uint64_t fileSizeAt(int index) const { return fileSizes[index]; }
  FileTime fileTimeAt(int index) const { return fileTimes[index]; }
  const FileDetail& fileDetailAt(int index) const { return fileDetails[index]; }
  FileTime subdirectoryTimeAt(int index) const { return subdirectoryTimes[index]; }
  const EntryMetadata& subdirectoryMetadataAt(int index) const {
    return subdirectoryMetadata[index];
  }

  char** fileNames;
  char** subdirectoryNames;
  uint64_t* fileSizes;
  FileTime* fileTimes;
  FileDetail* fileDetails;
  FileTime* subdirectoryTimes;
  EntryMetadata* subdirectoryMetadata;
  int32_t fileCapacity;
  int32_t subdirectoryCapacity;
  int32_t fileCount;
  int32_t subdirectoryCount;

 private:
  int growFiles();
  int growSubdirectories();
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;
};
