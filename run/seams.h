// Test seams: the one record a test hands to a run (runTalvenWith) to watch it or
// make it meet faults at chosen moments. Each room below has its own record of seams,
// and this one holds them with the run's own. The program itself never sets one:
// every pointer is null and every limit off, and nothing here changes a policy of
// what is tested.
#pragma once

#include "copy/copy.h"
#include "reconcile/reconcile.h"
#include "scan/tree_walker.h"

struct RunSeams {
  CopySeams copy;
  ReconcileSeams reconcile;
  ScanSeams scan;
  /// Called once both listings have ended, before the last look at the keyboard
  /// that comes before the first change.
  void (*scansEnded)(void* context);
  /// Called once the run holds the lock on its destination.
  void (*destinationLocked)(void* context);
  void* context;
};

/// Seams that change nothing.
constexpr RunSeams noRunSeams = {noCopySeams, noReconcileSeams, noScanSeams,
                                 nullptr,     nullptr,          nullptr};
