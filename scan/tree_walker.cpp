#include "scan/tree_walker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/backup_tag.h"
#include "base/failure_report.h"
#include "scan/directory_listing.h"

namespace {
// What enumerateDirectory hands over, collected into the listing of one visit.
struct ListingSink {
  DirectoryListing* listing;
  int failed;
  TreeWalker* walker;
  size_t length;
  int entries;  ///< given so far, for the looks at the keyboard
  int tagSeen;  ///< a file named as the backup tag is among them
};

// Counts (and tells) an entry left out for its kind; true when it is one.
bool leftOutForKind(ListingSink* sink, const ListedEntry& entry) {
  TreeWalker* walker = sink->walker;
  if (entry.kind == entryLink && !(walker->listAs & listLinksAsIs))
    ++walker->linksLeftOut;
  else if (entry.kind == entryOther)
    ++walker->othersLeftOut;
  else
    return false;
  if (walker->kindLeftOutCallback) {
    // The folder's separator comes only after its listing: shown here before the name.
    const char* folder = walker->currentDirectory;
    char separator[2] = {isPathSeparator(folder[sink->length - 1]) ? '\0' : pathSeparator, '\0'};
    char shown[1024];
    snprintf(shown, sizeof shown, "%s%s", separator, entry.name);
    walker->currentDirectory[sink->length] = '\0';
    walker->kindLeftOutCallback(walker->currentDirectory, shown, entry.kind);
  }
  return true;
}

void addToListing(void* context, const ListedEntry* entry) {
  ListingSink* sink = static_cast<ListingSink*>(context);
  const char* name = entry->name;
  // Stopped: the rest of the folder is passed over, and none of it reported.
  if (sink->walker->abortRequested) return;
  if (++sink->entries % keyPollEntries == 0) {
    const ScanSeams& seams = sink->walker->seams;
    if (seams.keyPolled) seams.keyPolled(seams.context);
    sink->walker->pollKeyboard();
    if (sink->walker->abortRequested) return;
  }
  if (entry->kind == entryUnconvertible) {
    // Never listed: neither copied nor, the listing being incomplete, deleted. The
    // folder's separator comes only after its listing: shown here before the name.
    const char* folder = sink->walker->currentDirectory;
    char separator[2] = {isPathSeparator(folder[sink->length - 1]) ? '\0' : pathSeparator, '\0'};
    char shown[1024];
    snprintf(shown, sizeof shown, "%s%s", separator, name);
    sink->walker->skip(sink->length, shown, "name cannot be converted");
    return;
  }
  // Left out as a link is: never walked, never written through.
  if (entry->kind == entryReparseFolder && !sink->walker->walkReparseFolders) return;
  if (leftOutForKind(sink, *entry)) return;
  // The tag is an entry like any other: looking for it costs the folder no call.
  if (entry->kind == entryFile && isBackupTagName(name)) sink->tagSeen = 1;
  if (sink->listing->addListed(*entry) != addEntryStored) sink->failed = 1;
}
}  // namespace

TreeWalker::TreeWalker(EntryCallback callback)
    : recurseSubdirectories(1),
      abortRequested(0),
      entryCallback(callback),
      skipCallback(nullptr),
      unlistedCallback(nullptr),
      rootResult(enumerateListed),
      rootFailure(0),
      incomplete(0),
      walkReparseFolders(1),
      foreignFolder(nullptr),
      foreignFolderMet(foreignMetNowhere),
      passedOverFolder(nullptr),
      taggedCallback(nullptr),
      leftOutFile(nullptr),
      filters(nullptr),
      walkExcluded(0),
      excludedCallback(nullptr),
      listAs(0),
      reportFolders(0),
      walkedCallback(nullptr),
      kindLeftOutCallback(nullptr),
      linksLeftOut(0),
      othersLeftOut(0),
      seams(noScanSeams),
      excludedFiles(0),
      excludedFolders(0),
      filterWalk{nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, 0} {
  currentDirectory[0] = '\0';
}

void TreeWalker::setOptions(int recurse) {
  recurseSubdirectories = recurse;
}

int TreeWalker::walk(const char* root) {
  walkDirectory(root);
  return 0;
}

void TreeWalker::walkDirectory(const char* path) {
  size_t length = strlen(path);
  if (length == 0) return;
  // The path, a separator and at least one more character must fit.
  if (length + 2 > sizeof currentDirectory) {
    rootResult = enumerateUnreadable;
    rootFailure = failurePathTooLong;
    incomplete = 1;
    return;
  }
  memcpy(currentDirectory, path, length + 1);
  // Without the filters' room the walk cannot honour them: it lists nothing rather
  // than what they leave out, and no file is deleted for a listing it never made.
  if (filtersActive(filters) && beginFilterWalk(&filterWalk, filters)) {
    rootResult = enumerateUnreadable;
    rootFailure = failureNoMemory;
    incomplete = 1;
    return;
  }
  visit(length, 1, FilterFolder{0, 0, 0}, 0);
  endFilterWalk(&filterWalk);
}

void TreeWalker::pollKeyboard() {
  int key = pollKey();
  if (key == escapeKey || interruptRequested()) abortRequested = 1;
}

// One visit works in currentDirectory, which holds the directory's path in its first
// length bytes; subdirectories extend it and the visit cuts it back, so the walk
// needs one path buffer however deep the tree.
int TreeWalker::visit(size_t length, int isRoot, const FilterFolder& place, int leftOut) {
  pollKeyboard();
  if (abortRequested || foreignFolderMet) return 0;
  currentDirectory[length] = '\0';
  DirectoryListing* listing = new DirectoryListing();
  ListingSink sink = {listing, 0, this, length, 0, 0};
  int isForeign = 0;
  int failure = 0;
  int result = listDirectory(currentDirectory, listAs, addToListing, &sink, foreignFolder,
                             &isForeign, &failure);
  if (isRoot) {
    rootResult = result;
    rootFailure = failure;
  }
  if (seams.folderListed) seams.folderListed(seams.context, currentDirectory);
  if (isForeign) foreignFolderMet = isRoot ? foreignMetAtRoot : foreignMetBelowRoot;
  if (abortRequested || foreignFolderMet) {
    delete listing;
    return 0;
  }
  if (result == enumerateMissing && isRoot) {
    delete listing;
    return 0;
  }
  // A backup folder keeps versions: nothing in it is any tree's. The roots were named
  // by the user, and are walked whatever they hold.
  if (!isRoot && sink.tagSeen && holdsBackupTag(currentDirectory, backupTagName)) {
    if (taggedCallback) taggedCallback(currentDirectory);
    delete listing;
    return 1;
  }
  if (result != enumerateListed) tellUnlisted(length, isRoot, result, failure);
  if (sink.failed) skip(length, "", "out of memory while listing");
  if (!isPathSeparator(currentDirectory[length - 1])) {
    currentDirectory[length++] = pathSeparator;
    currentDirectory[length] = '\0';
  }
  reportFiles(*listing, length, place, leftOut);
  if (recurseSubdirectories) walkSubdirectories(*listing, length, place, leftOut);
  delete listing;
  return 0;
}

void TreeWalker::tellUnlisted(size_t length, int isRoot, int result, int failure) {
  skip(length, "", "folder could not be listed whole");
  // A root not listed at all is the run's to tell: it stops the run.
  if (unlistedCallback && !(isRoot && result == enumerateUnreadable))
    unlistedCallback(currentDirectory, failure);
}

void TreeWalker::reportFiles(const DirectoryListing& listing, size_t length,
                             const FilterFolder& place, int leftOut) {
  for (int32_t i = 0; i < listing.fileCount; ++i) {
    const char* name = listing.nameAt(i, 0);
    size_t nameLength = strlen(name);
    if (length + nameLength + 1 > static_cast<size_t>(pathBufferSize)) {
      skip(length, name, "path too long");
      continue;
    }
    if (leftOutFile && isLeftOut(length, name, nameLength)) continue;
    int32_t flags = leftOut ? entryExcluded : 0;
    if (filterWalk.set && !leftOut &&
        filterVerdict(&filterWalk, place, name, nameLength, 0) == filterLeftOut) {
      ++excludedFiles;
      if (!walkExcluded) continue;
      flags = entryExcluded;
    }
    const FileDetail& detail = listing.fileDetailAt(i);
    report(WalkedEntry{currentDirectory, name, detail.kind, flags, listing.fileSizeAt(i),
                       listing.fileTimeAt(i), detail.links, detail.identity, detail.target,
                       detail.metadata});
  }
}

void TreeWalker::report(const WalkedEntry& entry) {
  if (walkedCallback) {
    walkedCallback(entry);
    return;
  }
  entryCallback(entry.directory, entry.name, static_cast<uint32_t>(entry.size),
                static_cast<uint32_t>(entry.size >> 32), entry.flags, entry.lastWrite.low,
                entry.lastWrite.high);
}

void TreeWalker::walkSubdirectories(const DirectoryListing& listing, size_t length,
                                    const FilterFolder& place, int leftOut) {
  for (int32_t i = 0; i < listing.subdirectoryCount; ++i) {
    const char* name = listing.nameAt(i, 1);
    size_t nameLength = strlen(name);
    // Room for the name, the separator the visit appends and one more character.
    if (length + nameLength + 2 > sizeof currentDirectory) {
      skip(length, name, "path too long");
      continue;
    }
    if (isPassedOver(length, name, nameLength)) continue;
    // Everything below an excluded folder is excluded: nothing there is judged.
    FilterFolder child = place;
    int childLeftOut = leftOut;
    if (filterWalk.set && !leftOut) {
      int verdict = filterVerdict(&filterWalk, place, name, nameLength, 1);
      if (verdict == filterLeftOut) {
        noteExcludedFolder(length, name);
        if (!walkExcluded) continue;
        childLeftOut = 1;
      } else if (enterFilterFolder(&filterWalk, place, name, nameLength, verdict, &child)) {
        skip(length, name, "path too long");
        continue;
      }
    }
    memcpy(currentDirectory + length, name, nameLength + 1);
    int passedOver = visit(length + nameLength, 0, child, childLeftOut);
    currentDirectory[length] = '\0';
    // After what it holds, once the walk knows it is no backup folder's.
    if (reportFolders && !passedOver && !abortRequested)
      report(WalkedEntry{currentDirectory, name, entryFolder, childLeftOut ? entryExcluded : 0, 0,
                         listing.subdirectoryTimeAt(i), 1, FileIdentity{0, 0}, nullptr,
                         listing.subdirectoryMetadataAt(i)});
  }
}

bool TreeWalker::isPassedOver(size_t length, const char* name, size_t nameLength) const {
  if (!passedOverFolder) return false;
  size_t total = strlen(passedOverFolder);
  // currentDirectory ends in a separator at length, as passedOverFolder does before
  // its last name.
  return total == length + nameLength &&
         pathNamesEqualN(currentDirectory, passedOverFolder, length) &&
         pathNamesEqual(name, passedOverFolder + length);
}

bool TreeWalker::isLeftOut(size_t length, const char* name, size_t nameLength) {
  const char* const* names = leftOutFile->names;
  if (!(names[0] && pathNamesEqual(name, names[0])) &&
      !(names[1] && pathNamesEqual(name, names[1])))
    return false;
  // As the log's own identity was read: the file a final link leads to.
  char* resolved = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  if (!resolved) return false;
  memcpy(currentDirectory + length, name, nameLength + 1);
  FileIdentity identity;
  bool same =
      resolveFullPath(currentDirectory, resolved, static_cast<size_t>(pathBufferSize)) == 0 &&
      fileIdentity(resolved, &identity) == 0 && sameFileIdentity(identity, leftOutFile->identity);
  currentDirectory[length] = '\0';
  free(resolved);
  return same;
}

void TreeWalker::noteExcludedFolder(size_t length, const char* name) {
  ++excludedFolders;
  if (excludedCallback) {
    currentDirectory[length] = '\0';
    excludedCallback(currentDirectory, name);
  }
}

void TreeWalker::skip(size_t length, const char* name, const char* reason) {
  incomplete = 1;
  if (skipCallback) {
    currentDirectory[length] = '\0';
    skipCallback(currentDirectory, name, reason);
  }
}
