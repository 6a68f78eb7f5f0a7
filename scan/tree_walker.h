// Depth-first walk of one directory tree, reporting every file to a callback.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "scan/filter.h"

/// Called once per reported file: the directory path ending in a separator, the file
/// name, the low and high halves of the size, the entry's flags (entryExcluded or 0),
/// and the low and high halves of the last-write time. Both strings live only for the
/// call; the result is ignored.
typedef int (*EntryCallback)(const char* directory, const char* name, uint32_t sizeLow,
                             uint32_t sizeHigh, int32_t flags, uint32_t timeLow, uint32_t timeHigh);
/// Flag of a file that the filters leave out, reported only where walkExcluded is set.
constexpr int32_t entryExcluded = 1;

/// One reported entry, as a walk that keeps the tree as it is tells it: a file, a link
/// (listLinksAsIs) or a folder (reportFolders), with what its listing read.
struct WalkedEntry {
  const char* directory;  ///< the folder's path, ending in a separator
  const char* name;
  int32_t kind;   ///< entryFile, entryLink or entryFolder
  int32_t flags;  ///< entryExcluded or 0
  uint64_t size;
  FileTime lastWrite;
  uint32_t links;          ///< a file's names
  FileIdentity identity;   ///< a file's, where links is above 1
  const char* target;      ///< a link's target
  EntryMetadata metadata;  ///< where the walk lists it (listMetadata)
};
/// Called once per reported entry instead of the EntryCallback, where set.
typedef void (*WalkedCallback)(const WalkedEntry& entry);
/// Called for each entry the walk leaves out for its kind: a link that it does not
/// follow (entryLink), or what is neither file, folder nor link (entryOther).
typedef void (*KindLeftOutCallback)(const char* directory, const char* name, int kind);
/// Called once for each folder that the filters leave out (directory ending in a
/// separator, and its name); nothing below it is told.
typedef void (*ExcludedCallback)(const char* directory, const char* name);

/// Called once for each folder below the root that holds the backup tag
/// (base/backup_tag.h), by its full path without a trailing separator; nothing in it
/// is told.
typedef void (*TaggedCallback)(const char* folder);

/// A file the walk leaves out wherever it lists it: the run's own log, where it lies
/// in the tree. Only a file listed by one of its names is looked at, by its identity.
struct LeftOutFile {
  FileIdentity identity;
  /// The last part of the name it was given and of its resolved path; null for none.
  const char* names[2];
};

/// Called for an entry the walk had to leave out (the reason is a short phrase).
typedef void (*SkipCallback)(const char* directory, const char* name, const char* reason);
/// Called for a folder that could not be listed whole, with the code of why (a code of
/// lastFailureCode or an OwnFailure).
typedef void (*UnlistedCallback)(const char* folder, int code);

/// Key code of Escape, which stops a walk.
constexpr int escapeKey = 27;
/// Entries of one folder between two looks at the keyboard while it is listed: a
/// folder of many thousand entries takes a while, and an ESC then must not wait for
/// the next folder (there may be none).
constexpr int keyPollEntries = 1024;
/// Where a walk met its foreignFolder.
enum ForeignFolderMet { foreignMetNowhere = 0, foreignMetAtRoot = 1, foreignMetBelowRoot = 2 };

/// Test seams of a listing: what a test hands in to watch it. Null in the program.
struct ScanSeams {
  /// Called at each look at the keyboard inside the listing of one large folder.
  void (*keyPolled)(void* context);
  void* context;
  /// Called once the listing of each folder is read, before anything in it is
  /// reported or walked, with the folder's path.
  void (*folderListed)(void* context, const char* folder);
};
/// Seams that change nothing.
constexpr ScanSeams noScanSeams = {nullptr, nullptr, nullptr};

class TreeWalker {
 public:
  explicit TreeWalker(EntryCallback callback);

  /// Chooses whether subdirectories are walked.
  void setOptions(int recurse);
  /// Walks the tree below root; always returns 0. What the walk could not list shows
  /// in rootResult, incomplete and abortRequested afterwards.
  int walk(const char* root);
  /// Visits one directory and, when recursing, its subdirectories.
  void walkDirectory(const char* path);
  /// Reads one waiting key, if any: ESC (or an interruption) sets abortRequested.
  void pollKeyboard();
  /// Leaves out the entry name of the directory in the first length bytes of
  /// currentDirectory for reason: the listing is incomplete, and told so.
  void skip(size_t length, const char* name, const char* reason);

  int32_t recurseSubdirectories;
  /// Set once Escape was read or an interruption requested; never cleared.
  int32_t abortRequested;
  /// The directory whose files are being reported, ending in a separator.
  char currentDirectory[pathBufferSize];
  EntryCallback entryCallback;
  /// Told of entries left out; may be null.
  SkipCallback skipCallback;
  /// Told of every folder that could not be listed whole but a root not listed at
  /// all, which rootResult and rootFailure tell; may be null.
  UnlistedCallback unlistedCallback;
  /// How the root's listing went (an EnumerateResult), and why it went wrong where
  /// it did (a code of lastFailureCode or an OwnFailure; 0 otherwise).
  int32_t rootResult;
  int32_t rootFailure;
  /// Set when a directory below the root could not be listed whole, or an entry was
  /// left out for its length or for lack of memory.
  int32_t incomplete;
  /// Whether folders that are reparse points of a kind that stands for no other place
  /// (entryReparseFolder) are walked: in a source they are the folder itself; in the
  /// destination, whose folders are written into, none is trusted.
  int32_t walkReparseFolders;
  /// A folder this tree must not hold (the other tree's root), or null. The listing
  /// tells each folder's identity whatever name reached it (a second mount, another
  /// letter case), so a listed folder of this identity is that folder: the walk then
  /// stops and foreignFolderMet says where it was met.
  const FileIdentity* foreignFolder;
  /// foreignMetNowhere, foreignMetAtRoot or foreignMetBelowRoot.
  int32_t foreignFolderMet;
  /// A folder below the root that is neither listed nor walked, by its full path as
  /// the walk spells it (the root, a separator, the path below it), or null: the
  /// backup folder that lies in the tree it takes files from.
  const char* passedOverFolder;
  /// Told of each folder below the root that holds the backup tag, which the walk
  /// passes over whole; may be null.
  TaggedCallback taggedCallback;
  /// The file the walk leaves out, or null.
  const LeftOutFile* leftOutFile;
  /// The patterns that leave entries out, or null for none. An excluded folder is
  /// never listed, unless walkExcluded is set: then it is walked and everything in
  /// it, like every excluded file, is reported with entryExcluded.
  const FilterSet* filters;
  int32_t walkExcluded;
  /// Told of each excluded folder; may be null.
  ExcludedCallback excludedCallback;
  /// How folders are listed (listLinksAsIs, listFolderTimes, listFileLinks,
  /// listMetadata); 0 in
  /// the default walk, which follows links to files.
  int32_t listAs;
  /// Set: every folder walked is reported (to walkedCallback) before what it holds.
  int32_t reportFolders;
  /// Told of each reported entry instead of entryCallback; may be null.
  WalkedCallback walkedCallback;
  /// Told of each entry left out for its kind; may be null.
  KindLeftOutCallback kindLeftOutCallback;
  /// Links the walk did not follow, and entries of other kinds, left out as met.
  int32_t linksLeftOut;
  int32_t othersLeftOut;
  /// The test's seams; none in the program.
  ScanSeams seams;
  /// Files and folders the filters left out, as met (nothing inside an excluded folder).
  int32_t excludedFiles;
  int32_t excludedFolders;

 private:
  /// Lists and walks one folder; 1 when it was passed over as a backup folder.
  int visit(size_t length, int isRoot, const FilterFolder& place, int leftOut);
  void reportFiles(const class DirectoryListing& listing, size_t length, const FilterFolder& place,
                   int leftOut);
  void walkSubdirectories(const class DirectoryListing& listing, size_t length,
                          const FilterFolder& place, int leftOut);
  void noteExcludedFolder(size_t length, const char* name);
  /// Gives one entry to walkedCallback, or to entryCallback where that is unset.
  void report(const WalkedEntry& entry);
  /// True when the file name of the folder in the first length bytes of
  /// currentDirectory (ending in a separator) is leftOutFile.
  bool isLeftOut(size_t length, const char* name, size_t nameLength);
  /// Tells that the folder in the first length bytes of currentDirectory was not
  /// listed whole (result, an EnumerateResult, for the reason failure).
  void tellUnlisted(size_t length, int isRoot, int result, int failure);
  /// True when the subfolder name of the folder in the first length bytes of
  /// currentDirectory is passedOverFolder.
  bool isPassedOver(size_t length, const char* name, size_t nameLength) const;
  /// The path of the folder visited as the patterns see it; set while filters are.
  FilterWalk filterWalk;
};
