// Test seams: the one record a test hands to a run (runTalvenWith) to watch it or
// make it meet faults at chosen moments. The program itself never sets one: every
// pointer is null and every limit off, and nothing here changes a policy of what is
// tested.
#pragma once

#include "copy/copy.h"

/// The moments at which RunSeams::passStage is called.
enum PassStage {
  passUpdates = 0,    ///< both listings are over; no change was made yet
  passDeletions = 1,  ///< every copy is in place; no deletion was made yet
};

struct RunSeams {
  CopySeams copy;
  /// Called once both listings have ended, before the last look at the keyboard
  /// that comes before the first change.
  void (*scansEnded)(void* context);
  /// Called at each PassStage, so that a test can change the destination between
  /// the listing and the changes.
  void (*passStage)(void* context, int stage);
  /// Called after each deletion was tried (not with -p), with the number tried so far.
  void (*deletionTried)(void* context, long long deletionsTried);
  /// Called once the run holds the lock on its destination.
  void (*destinationLocked)(void* context);
  /// Called at each look at the keyboard inside the listing of one large folder.
  void (*keyPolled)(void* context);
  /// Files below this folder keep times as FAT does (2 s steps, rounding down, local
  /// time), and its file system counts as FAT.
  const char* fatClockFolder;
  void* context;
};

/// Seams that change nothing.
constexpr RunSeams noRunSeams = {noCopySeams, nullptr, nullptr, nullptr,
                                 nullptr,     nullptr, nullptr, nullptr};
