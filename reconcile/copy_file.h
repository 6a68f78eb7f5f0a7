// Writing one destination file: a byte-for-byte copy carrying the source's time.
#pragma once

#include <string>

#include "platform/folders.h"
#include "platform/platform.h"

/// Results of copyFileWithTime; every one but copyDone and copyPreview is a failure
/// the run counts.
enum CopyResult {
  copyDone = 0,              ///< copied and time set
  copyPreview = 1,           ///< -p: nothing was done
  copySourceUnreadable = 2,  ///< the source could not be opened; nothing touched
  copyCannotCreate = 3,      ///< the destination could not be created, even after folder repair
  copyTransferFailed = 4,    ///< a read, write or close failed; the incomplete file was removed
  copyTimeNotSet = 5,        ///< copied, but the time could not be set
  copyInterrupted = 6,       ///< stopped by an interruption; the incomplete file was removed
};

/// Makes destinationPath a byte-for-byte copy of sourcePath, inside the kernel where
/// the system can copy between the two files and through copyBuffer elsewhere, and
/// gives it time as its last-write (and last-access, and creation where there is
/// one) time. Creates missing folders when the destination cannot be created. The
/// copy takes the destination's name only once its data is on disk (unless noSync
/// is set): at once, or, while copies are batched (copy_batch.h), with its batch,
/// copyDone then telling that it is written and waits. Every change to the
/// destination goes through folders, whose root destinationPath lies below: none
/// follows a link on the way. Returns a CopyResult.
int copyFileWithTime(DestinationFolders* folders, const char* destinationPath,
                     const char* sourcePath, FileTime time);
/// The path the last call of copyFileWithTime wrote to: a partial file beside the
/// destination, or the destination itself; empty when it wrote nothing.
const char* lastCopyWritePath();

/// Where a copy stands on its way from the thread that decides it, through the one
/// that writes it, back to the one that reports it in its turn.
enum CopyStage {
  copyFinished = 0,    ///< result holds its CopyResult
  copyToWrite = 1,     ///< prepared: writeCopy comes next
  copyToQueue = 2,     ///< written and stamped, open as destination: to join the batch
  copyOutOfFiles = 3,  ///< the process held all the files it may: to be written again
                       ///< by a writer that may free files
};

/// One copy: what it is given, then what became of it.
struct CopyJob {
  std::string destinationPath;
  std::string sourcePath;
  FileTime time;          ///< the source's time, then the time the destination can keep
  int64_t listedSize;     ///< the source's size as listed, for the progress line
  std::string writePath;  ///< the partial file, or the destination itself; empty before
  FILE* source;
  FILE* destination;  ///< while stage is copyToQueue
  unsigned mode;
  int partial;  ///< a PartialKind
  int holdsFile;
  long long bytes;
  int stage;   ///< a CopyStage
  int result;  ///< a CopyResult, once stage is copyFinished
};

/// What a thread writing copies holds of its own.
struct CopyWriter {
  DestinationFolders* folders;  ///< its own record of the destination tree
  unsigned char* buffer;        ///< copyBufferSize bytes
  /// Set for the thread that decides the copies: it alone may give back the files
  /// held by the batch and the read-ahead when the process holds all it may.
  int mayFreeFiles;
};

/// First step, on the deciding thread, in the order of the copies: the time the
/// destination keeps, the source opened, the partial name chosen, a missing folder
/// made (with its "Creating folder" line). Returns 1 when writeCopy comes next, 0 when
/// the job is finished (preview, interruption, an unreadable source).
int prepareCopy(DestinationFolders* folders, CopyJob* job);
/// Second step, on any thread: the destination opened (its folders repaired where
/// needed), the bytes transferred, the copy stamped, and synced and placed unless it
/// is to join the batch. Prints and logs only through the thread's output.
void writeCopy(CopyWriter* writer, CopyJob* job);
/// Last step, on the deciding thread and in the order of the copies: a copy to be
/// queued joins the batch (which may place the batch), one out of files is written
/// again by writer. Leaves the job finished.
void finishCopy(CopyWriter* writer, CopyJob* job);

/// Set by whoever hands copies to other threads: finishes every copy handed on so
/// far, so that the files they hold can be given back in order.
extern void (*settleEarlierCopies)();
/// Set while copies are written on several threads: test seams' hooks are then
/// called under it, one at a time.
extern PlatformLock* copySeamLock;
/// Calls a test seam's hook with value, under copySeamLock when it is set.
void callCopySeam(void (*hook)(long long), long long value);

/// Creates every folder along folderPath, outermost first; failures are passed over.
/// A path longer than a path buffer creates nothing.
void createFolderChain(const char* folderPath);

/// Writes into folder (pathBufferSize bytes) the folder of destinationPath: everything
/// up to its last separator, less one trailing pathSeparator. Returns 0, or 1 when the
/// path does not fit a path buffer (folder is then left empty).
int destinationFolder(const char* destinationPath, char* folder);

/// Test seam: when not -1, the copy loop's writes fail once this many bytes of the
/// current file were written, as on a full disk.
extern long long copyWriteFaultAfter;
/// Test seam: when not -1, the kernel copies at most this many bytes of the current
/// file and the block loop the rest, as where the kernel stops part-way; 0 makes
/// every copy take the block loop, as on a system without the kernel copy.
extern long long copyKernelFallbackAt;
/// Test seam: when set, called after each block is written, and after each step of
/// a copy inside the kernel, with the offset reached (the bytes so far, and the holes
/// of a sparse source passed over).
extern void (*copyBlockHook)(long long bytesWritten);
/// Test seam: when set, the copier gives no times but still reads back what was kept,
/// as on a file system that keeps the time of writing.
extern int copyTimesIgnored;
