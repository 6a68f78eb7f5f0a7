// The reconciliation passes: updates, copies, deletions.
#pragma once

/// Compares destinationTable with sourceTable and updates, copies and deletes as
/// they call for. Deletions are left out entirely unless the source listing is
/// complete. Returns the run's exit status (an ExitStatus, or the interrupted one).
int reconcileTables(int sourceListingComplete, int destinationListingComplete);

/// The moments at which passStageHook is called.
enum PassStage {
  passUpdates = 0,    ///< both listings are over; no change was made yet
  passDeletions = 1,  ///< every copy is in place; no deletion was made yet
};
/// Test seam: when set, called at each PassStage of reconcileTables, so that a test
/// can change the destination between the listing and the changes.
extern void (*passStageHook)(int stage);

/// Test seam: when set, called after each deletion was tried (not with -p), with the
/// number tried so far in this run.
extern void (*deletionTriedHook)(long long deletionsTried);
