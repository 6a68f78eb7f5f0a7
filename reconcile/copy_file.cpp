// Writing one destination file: the source's bytes inside the kernel where it can,
// through copyBuffer where not, then its time.
#include "reconcile/copy_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "run/settings.h"

long long copyWriteFaultAfter = -1;
long long copyKernelFallbackAt = -1;
void (*copyBlockHook)(long long bytesWritten) = nullptr;

namespace {
// transferRestInBlocks: the kernel copied what it could, the block loop copies the rest.
enum TransferResult { transferComplete, transferFailed, transferStopped, transferRestInBlocks };

// The copy is written beside the destination under this suffix and takes the
// destination's place only once it is complete and carries its time. A run killed
// half-way thus never leaves a destination file that looks current, only a stray
// partial file, which the next run deletes as a file the source does not have.
constexpr char partialSuffix[] = ".talven-partial";
constexpr size_t longestName = 255;

// Forms the path of the partial file in writePath: the destination's name with the
// suffix added or, where that name would be too long, the suffix alone as a name in
// the same folder. Only where neither fits is the copy written straight into the
// destination.
void choosePathToWrite(const char* destinationPath, char* writePath) {
  size_t length = strlen(destinationPath);
  size_t suffixLength = sizeof partialSuffix - 1;
  const char* name = destinationPath + length;
  while (name > destinationPath && !isPathSeparator(name[-1])) --name;
  size_t nameLength = static_cast<size_t>(destinationPath + length - name);
  memcpy(writePath, destinationPath, length + 1);
  size_t kept = length;
  if (length + suffixLength + 1 > static_cast<size_t>(pathBufferSize) ||
      nameLength + suffixLength > longestName)
    kept = length - nameLength;
  if (kept + suffixLength + 1 > static_cast<size_t>(pathBufferSize)) return;
  memcpy(writePath + kept, partialSuffix, suffixLength + 1);
}

// Opens the file the copy is written to; a link found there is replaced, never
// written through. A copy written straight into the destination first makes sure
// that what stands there may be replaced (not read-only, not a folder). A partial
// file is checked against what it replaces only once it is complete, when it fails
// to take a free place: a new destination, the common case, then costs no look-up.
FILE* openDestination(const char* path, const char* writePath) {
  if (strcmp(path, writePath) == 0 && checkReplaceable(path) >= replaceableRefused) return nullptr;
  return createFileForWriting(writePath);
}

// Any failure to create the destination is taken as a missing folder: the folder
// chain is created and the open tried once more.
FILE* repairFolderAndOpen(const char* path, const char* writePath) {
  char folder[pathBufferSize];
  if (destinationFolder(path, folder) != 0) return nullptr;
  if (verbose) consolePrintf("Creating folder [%s]\n", folder);
  createFolderChain(folder);
  return openDestination(path, writePath);
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

// Once a copy has reached this size, the room for the rest of it is reserved at
// once: that spares the file system its work per block on large files, and files
// below it the two extra calls.
constexpr long long reserveFrom = 32LL * copyBufferSize;
// Bytes the kernel moves per call: an interruption stops a copy within one such
// step, and the first step of a large copy is where its room is reserved.
constexpr long long kernelStep = reserveFrom;

struct Transfer {
  long long written;
  long long reserved;
  int reserveTried;
};

void afterStep(Transfer* copy, FILE* source, FILE* destination) {
  if (!copy->reserveTried && copy->written >= reserveFrom) {
    copy->reserveTried = 1;
    copy->reserved = reserveRoomForRest(destination, source, copy->written);
  }
  if (copyBlockHook) copyBlockHook(copy->written);
}

// Blocks of copyBufferSize until the first short read, whose bytes (maybe none) are
// written too: n / copyBufferSize + 1 reads for n bytes.
int transferInBlocks(FILE* source, FILE* destination, Transfer* copy) {
  size_t got;
  do {
    if (interruptRequested()) return transferStopped;
    got = fread(copyBuffer, 1, copyBufferSize, source);
    if (ferror(source)) return transferFailed;
    if (writeBlock(destination, got, copy->written) != got) return transferFailed;
    copy->written += static_cast<long long>(got);
    afterStep(copy, source, destination);
  } while (got == static_cast<size_t>(copyBufferSize));
  return transferComplete;
}

// Steps inside the kernel until the source's end. Returns transferRestInBlocks
// where the block loop is to copy the rest: the kernel cannot copy these files, or
// its first step moved nothing (an empty file, or one whose size the system does
// not tell, which only reading shows), or a test seam's limit is reached.
int transferInKernel(FILE* source, FILE* destination, Transfer* copy) {
  for (;;) {
    if (interruptRequested()) return transferStopped;
    long long step = kernelStep;
    if (copyKernelFallbackAt >= 0) step = std::min(step, copyKernelFallbackAt - copy->written);
    if (copyWriteFaultAfter >= 0) step = std::min(step, copyWriteFaultAfter - copy->written);
    if (step <= 0) return transferRestInBlocks;
    long long moved = copyInKernel(source, destination, step);
    if (moved == kernelCopyUnavailable || (moved == 0 && copy->written == 0))
      return transferRestInBlocks;
    if (moved == 0) return transferComplete;
    copy->written += moved;
    afterStep(copy, source, destination);
  }
}

int transfer(FILE* source, FILE* destination) {
  Transfer copy = {0, 0, 0};
  int result = transferInKernel(source, destination, &copy);
  if (result == transferRestInBlocks) result = transferInBlocks(source, destination, &copy);
  if (result != transferComplete) return result;
  // A source that shrank while it was copied leaves room reserved past the copy's
  // end. Were it not given back, it would only waste space: the copy is whole.
  if (copy.reserved > copy.written) releaseRoomAfter(destination, copy.written);
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

int abandonCopy(const char* path, const char* writePath, int transferred) {
  int outcome = discardIncompleteCopy(writePath);
  if (verbose) {
    const char* what = transferred == transferStopped ? "Copy interrupted" : "Failed to copy";
    consolePrintf("%s [%s], the incomplete copy %s !\n", what, path, discardOutcomes[outcome]);
  }
  return transferred == transferStopped ? copyInterrupted : copyTransferFailed;
}

enum PlaceResult { placed, placeRefused, placeFailed };

// Moves the finished partial file to the destination path: straight into a free
// place, or else over what stands there once that is found replaceable.
int moveIntoPlace(const char* path, const char* writePath) {
  if (strcmp(path, writePath) == 0 || moveFileIfAbsent(writePath, path) == 0) return placed;
  if (checkReplaceable(path) >= replaceableRefused) return placeRefused;
  return replaceFile(writePath, path) == 0 ? placed : placeFailed;
}

// Stamps the finished copy, unless its times were set while it was open, and puts
// it in the destination's place.
int placeCopy(const char* path, const char* writePath, FileTime time, int timesSet) {
  if (!timesSet) timesSet = setFileTimes(writePath, time) == 0;
  int placing = moveIntoPlace(path, writePath);
  if (placing != placed) {
    int outcome = discardIncompleteCopy(writePath);
    if (!verbose) return copyCannotCreate;
    if (placing == placeRefused)
      consolePrintf("Cannot create file in folder !\n");
    else
      consolePrintf("Failed to copy [%s], the copy could not take its place and %s !\n", path,
                    discardOutcomes[outcome]);
    return copyCannotCreate;
  }
  if (!timesSet) {
    if (verbose) consolePrintf("Failed to set the filetime !\n");
    return copyTimeNotSet;
  }
  if (verbose) consolePrintf("Filetime set successfully %s!\n", path);
  return copyDone;
}
}  // namespace

int copyFileWithTime(const char* destinationPath, const char* sourcePath, FileTime time) {
  if (previewOnly) return copyPreview;
  // Stopped before this file: its destination, maybe an older copy, stays as it is.
  if (interruptRequested()) return copyInterrupted;
  // The source is opened first, so that one that cannot be read never truncates
  // the destination.
  FILE* source = openFileForReading(sourcePath);
  if (!source) return copySourceUnreadable;
  char writePath[pathBufferSize];
  choosePathToWrite(destinationPath, writePath);
  FILE* destination = openDestination(destinationPath, writePath);
  if (!destination) destination = repairFolderAndOpen(destinationPath, writePath);
  if (!destination && strcmp(destinationPath, writePath) != 0) {
    // A folder that takes no new files may still let its files be rewritten.
    memcpy(writePath, destinationPath, strlen(destinationPath) + 1);
    destination = openDestination(destinationPath, writePath);
  }
  if (!destination) {
    if (verbose) consolePrintf("Cannot create file in folder !\n");
    fclose(source);
    return copyCannotCreate;
  }
  int transferred = transfer(source, destination);
  fclose(source);
  // After the last write, setting the times on the open file saves finding it again.
  int timesSet = transferred == transferComplete && setOpenFileTimes(destination, time) == 0;
  if (fclose(destination) != 0 && transferred == transferComplete) transferred = transferFailed;
  if (transferred != transferComplete) return abandonCopy(destinationPath, writePath, transferred);
  return placeCopy(destinationPath, writePath, time, timesSet);
}
