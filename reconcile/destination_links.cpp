#include "reconcile/destination_links.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/failure_report.h"
#include "base/paths.h"

void forgetCheckedFolders(LinkCheck* check) {
  free(check->folder);
  *check = LinkCheck{nullptr, 0};
}

int clearFolderLinks(TreeFolders* folders, LinkCheck* check, int verbose,
                     const char* destinationPath) {
  size_t folder = folderPartLength(destinationPath);
  if (check->folder && folder == check->length &&
      memcmp(destinationPath, check->folder, folder) == 0)
    return 0;
  if (!check->folder) check->folder = static_cast<char*>(malloc(pathBufferSize));
  if (!check->folder) return 1;
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
  memcpy(check->folder, destinationPath, folder);
  check->length = folder;
  return 0;
}
