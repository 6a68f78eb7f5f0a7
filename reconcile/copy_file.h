// Writing one destination file: a byte-for-byte copy carrying the source's time.
#pragma once

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
