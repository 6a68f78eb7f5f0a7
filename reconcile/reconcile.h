// The reconciliation passes: updates, copies, deletions.
#pragma once

/// Compares destinationTable with sourceTable and updates, copies and deletes as
/// they call for. Deletions are left out entirely unless the source listing is
/// complete. Returns the run's exit status (an ExitStatus, or the interrupted one).
int reconcileTables(int sourceListingComplete, int destinationListingComplete);

/// Test seam: when set, called after each deletion was tried (not with -p), with the
/// number tried so far in this run.
extern void (*deletionTriedHook)(long long deletionsTried);
