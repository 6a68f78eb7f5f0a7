// The reconciliation passes: updates, copies, deletions.
#pragma once

struct RunSeams;

/// Compares destinationTable with sourceTable and updates, copies and deletes as
/// they call for. Deletions are left out entirely unless the source listing is
/// complete. seams may be null. Returns the run's exit status (an ExitStatus, or the
/// interrupted one).
int reconcileTables(int sourceListingComplete, int destinationListingComplete,
                    const RunSeams* seams);
