// Folder repair for the copier: the folder of a destination path and the chain of
// folders leading to it.
#include <cstring>

#include "reconcile/copy_file.h"

int destinationFolder(const char* destinationPath, char* folder) {
  size_t length = strlen(destinationPath);
  folder[0] = '\0';
  if (length + 1 > static_cast<size_t>(pathBufferSize)) return 1;
  memcpy(folder, destinationPath, length + 1);
  char drive[splitDriveSize];
  char directory[splitPartSize];
  char name[splitPartSize];
  char extension[splitPartSize];
  splitPath(folder, drive, directory, name, extension);
  // The parts are cut to their buffers, and a deep directory easily exceeds one. The
  // drive and directory are the path less its name and extension, so the folder is
  // taken from the path itself.
  size_t nameLength = strlen(name);
  size_t extensionLength = strlen(extension);
  size_t partsLength = strlen(drive) + strlen(directory) + nameLength + extensionLength;
  size_t partLimit = static_cast<size_t>(splitPartSize - 1);
  size_t folderLength = length - nameLength - extensionLength;
  if (partsLength != length && (nameLength >= partLimit || extensionLength >= partLimit)) {
    // A name or extension at its longest may have been cut as well. Only a path
    // longer than a Windows path buffer gets here, so there is no double-byte
    // character to mind: the name starts after the path's last separator.
    folderLength = length;
    while (folderLength > 0 && !isPathSeparator(folder[folderLength - 1])) --folderLength;
  }
  folder[folderLength] = '\0';
  if (folderLength > 0 && folder[folderLength - 1] == pathSeparator)
    folder[folderLength - 1] = '\0';
  return 0;
}

void createFolderChain(const char* folderPath) {
  size_t length = strlen(folderPath);
  // A prefix cut to fit would name folders that the path does not name.
  if (length + 1 > static_cast<size_t>(pathBufferSize)) return;
  char prefix[pathBufferSize];
  memcpy(prefix, folderPath, length + 1);
  // Outermost first, so that every folder is made inside one that now exists;
  // results are ignored, as most of the folders exist already.
  for (size_t at = 0; at + 1 < length; ++at) {
    if (folderPath[at] != pathSeparator) continue;
    prefix[at] = '\0';
    makeDirectory(prefix);
    prefix[at] = pathSeparator;
  }
  if (length > 0) makeDirectory(prefix);
}
