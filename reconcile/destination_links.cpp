#include "reconcile/destination_links.h"

#include <cstdio>
#include <cstring>

#include "run/failure_report.h"
#include "run/settings.h"

namespace {
// The folder of the last destination path whose way was clear; copies come grouped
// by folder, so most copies need no look at all.
char checkedFolder[pathBufferSize];
size_t checkedLength;

size_t folderLength(const char* path) {
  size_t length = strlen(path);
  while (length > 0 && !isPathSeparator(path[length - 1])) --length;
  return length;
}
}  // namespace

void forgetCheckedFolders() {
  checkedLength = 0;
}

int clearFolderLinks(DestinationFolders* folders, const char* destinationPath) {
  if (previewOnly) return 0;
  size_t folder = folderLength(destinationPath);
  if (folder == checkedLength && memcmp(destinationPath, checkedFolder, folder) == 0) return 0;
  char prefix[pathBufferSize];
  memcpy(prefix, destinationPath, folder);
  size_t root = folders->rootLength;
  for (size_t at = root + 1; at < folder; ++at) {
    if (!isPathSeparator(destinationPath[at])) continue;
    prefix[at] = '\0';
    int result = removeFolderLinkIn(folders, prefix);
    if (result == folderLinkKept) {
      int failure = lastFailureCode();
      // No folder on the way could be opened to look: that is the reason, not a link.
      if (isTooManyOpenFiles(failure)) {
        reportFailure("reach", prefix, nullptr, failure);
        return 1;
      }
      if (verbose) consolePrintf("Cannot remove the link [%s] !\n", prefix);
      reportFailure("remove the link", prefix, nullptr, failure);
      return 1;
    }
    if (result == folderLinkRemoved && verbose) consolePrintf("Removed the link [%s]\n", prefix);
    prefix[at] = destinationPath[at];
  }
  memcpy(checkedFolder, destinationPath, folder);
  checkedLength = folder;
  return 0;
}
