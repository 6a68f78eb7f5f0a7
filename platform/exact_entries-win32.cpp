// An exact mirror's entries on Windows: not made yet; each call is refused with a
// reason, so that the entry fails alone.
#include <windows.h>

#include "platform/folders.h"

int makeLinkIn(TreeFolders*, const char*, const char*, FileTime, int) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return folderRefused;
}

int makeHardLinkIn(TreeFolders*, const char*, const char*, int) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return folderRefused;
}

int setEntryTimeIn(TreeFolders*, const char*, FileTime) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return folderRefused;
}

int entryKindIn(TreeFolders*, const char*, int*, FileIdentity*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return folderRefused;
}
