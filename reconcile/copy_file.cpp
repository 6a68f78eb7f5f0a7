// Writing one destination file: the source's bytes through copyBuffer, then its time.
#include "reconcile/copy_file.h"

#include <cstdio>

#include "run/settings.h"

long long copyWriteFaultAfter = -1;
void (*copyBlockHook)(long long bytesWritten) = nullptr;

namespace {
enum TransferResult { transferComplete, transferFailed, transferStopped };

// Opens the destination for writing. A link found at its path is removed first, so
// that the copy replaces the link and never writes into whatever it points to.
FILE* openDestination(const char* path) {
  if (removeLinkAt(path) != 0) return nullptr;
  FILE* destination = fopen(path, "wb");
  if (destination) setvbuf(destination, nullptr, _IONBF, 0);
  return destination;
}

// Any failure to create the destination is taken as a missing folder: the folder
// chain is created and the open tried once more.
FILE* repairFolderAndOpen(const char* path) {
  char folder[pathBufferSize];
  if (destinationFolder(path, folder) != 0) return nullptr;
  if (verbose) printf("Creating folder [%s]\n", folder);
  createFolderChain(folder);
  return openDestination(path);
}

// Writes the first count bytes of copyBuffer; returns the number written.
size_t writeBlock(FILE* destination, size_t count, long long written) {
  size_t allowed = count;
  if (copyWriteFaultAfter >= 0 && written + static_cast<long long>(count) > copyWriteFaultAfter)
    allowed =
        copyWriteFaultAfter > written ? static_cast<size_t>(copyWriteFaultAfter - written) : 0;
  if (allowed == 0) return 0;
  return fwrite(copyBuffer, 1, allowed, destination);
}

// Blocks of copyBufferSize until the first short read, whose bytes (maybe none) are
// written too: n / copyBufferSize + 1 reads for n bytes.
int transfer(FILE* source, FILE* destination) {
  long long written = 0;
  size_t got;
  do {
    if (interruptRequested()) return transferStopped;
    got = fread(copyBuffer, 1, copyBufferSize, source);
    if (ferror(source)) return transferFailed;
    if (writeBlock(destination, got, written) != got) return transferFailed;
    written += static_cast<long long>(got);
    if (copyBlockHook) copyBlockHook(written);
  } while (got == static_cast<size_t>(copyBufferSize));
  return transferComplete;
}

// An incomplete copy must not stay with a fresh time, which would make every later
// run take it for current. When it cannot be removed it gets the oldest time there
// is, so that the next run copies it again. Not 0: Windows reads a zero time as
// "leave unchanged".
constexpr FileTime outOfDateTime = {1, 0};
const char* const discardOutcomes[] = {
    "was removed", "could not be removed and was marked out of date", "could not be removed"};

int discardIncompleteCopy(const char* path) {
  if (deleteFile(path) == 0) return 0;
  return setFileTimes(path, outOfDateTime) == 0 ? 1 : 2;
}

int abandonCopy(const char* path, int transferred) {
  int outcome = discardIncompleteCopy(path);
  if (verbose) {
    const char* what = transferred == transferStopped ? "Copy interrupted" : "Failed to copy";
    printf("%s [%s], the incomplete copy %s !\n", what, path, discardOutcomes[outcome]);
  }
  return transferred == transferStopped ? copyInterrupted : copyTransferFailed;
}

int stampCopy(const char* path, FileTime time) {
  if (setFileTimes(path, time) != 0) {
    if (verbose) printf("Failed to set the filetime !\n");
    return copyTimeNotSet;
  }
  if (verbose) printf("Filetime set successfully %s!\n", path);
  return copyDone;
}
}  // namespace

int copyFileWithTime(const char* destinationPath, const char* sourcePath, FileTime time) {
  if (previewOnly) return copyPreview;
  // Stopped before this file: its destination, maybe an older copy, stays as it is.
  if (interruptRequested()) return copyInterrupted;
  // The source is opened first, so that one that cannot be read never truncates
  // the destination.
  FILE* source = fopen(sourcePath, "rb");
  if (!source) return copySourceUnreadable;
  setvbuf(source, nullptr, _IONBF, 0);
  FILE* destination = openDestination(destinationPath);
  if (!destination) destination = repairFolderAndOpen(destinationPath);
  if (!destination) {
    if (verbose) printf("Cannot create file in folder !\n");
    fclose(source);
    return copyCannotCreate;
  }
  int transferred = transfer(source, destination);
  fclose(source);
  if (fclose(destination) != 0 && transferred == transferComplete) transferred = transferFailed;
  if (transferred != transferComplete) return abandonCopy(destinationPath, transferred);
  return stampCopy(destinationPath, time);
}
