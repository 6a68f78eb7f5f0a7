// The bytes of one copy: inside the kernel where it can, through a buffer where not,
// holes of a sparse source kept as holes.
#pragma once

#include <cstdint>

#include "copy/copy.h"
#include "platform/copy_files.h"

/// Results of transferFile.
enum TransferResult { transferComplete = 0, transferFailed = 1, transferStopped = 2 };

/// What a transfer takes from the thread that runs it.
struct TransferContext {
  unsigned char* buffer;   ///< copyBufferSize bytes of that thread
  const CopySeams* seams;  ///< never null
  PlatformLock* seamLock;  ///< taken around the seams' hooks; may be null
  int writer;              ///< the progress line's slot of the thread
  int noSync;              ///< no data is written ahead for a sync to come
  int tryKernel;           ///< in: the kernel may copy these files
  int kernelRefused;       ///< out: the kernel cannot copy between these files
};

/// Copies the source's data into destination (both at offset 0) up to the source's
/// end. On transferComplete, bytes holds the bytes of data written (holes passed over
/// not counted); on transferFailed, failure tells why. transferStopped: interrupted.
int transferFile(TransferContext* context, const SourceFile& source, FileHandle destination,
                 long long* bytes, int* failure);
