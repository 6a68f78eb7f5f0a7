// The reconciliation passes: updates, copies, deletions.
#pragma once

#include <cstdint>

struct RunSeams;

/// What the passes of a run decided and met, for the summary at its end.
struct PassSummary {
  int32_t copies;     ///< copies decided (reported with -p)
  int32_t updates;    ///< updates decided
  int32_t deletions;  ///< deletions decided
  int32_t keptNewer;  ///< destination files kept as newer than their source twins
  int32_t failures;
  int64_t bytesCopied;  ///< listed sizes of the copies and updates written (with -p: decided)
  /// Set by the run where filters were given: the folders they left out of either
  /// listing (each once), and the source files they left out where the listing met
  /// them (not those inside a folder left out).
  uint8_t filtered = 0;
  int32_t foldersLeftOut = 0;
  int32_t filesLeftOut = 0;
};

/// Compares destinationTable with sourceTable and updates, copies and deletes as
/// they call for. Deletions are left out entirely unless the source listing is
/// complete. seams may be null. Returns the run's exit status (an ExitStatus, or the
/// interrupted one); summary receives the counts once the passes ran (it is left
/// alone when they did not start).
int reconcileTables(int sourceListingComplete, int destinationListingComplete,
                    const RunSeams* seams, PassSummary* summary);
