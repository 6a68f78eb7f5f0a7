// The lines of one copy, printed on the deciding thread in the copies' order from
// what the copy's notes say happened: one wording for each failure, whichever
// thread wrote the copy and however it was synced.
#include "copy/report.h"

#include "base/failure_report.h"
#include "base/paths.h"

namespace {
void printEvents(const CopyJob* job, int verbose, char* folder) {
  for (int i = 0; i < job->notes.eventCount; ++i) {
    if (!verbose) return;
    if (job->notes.events[i] == eventEmptyFolderGone) {
      consolePrintf("Removed the empty folder [%s]\n", job->destinationPath);
    } else if (folderOfPath(job->destinationPath, folder) == 0) {
      consolePrintf("Creating folder [%s]\n", folder);
    }
  }
}

// The lines of a copy that failed after its file was made, and was then removed.
void printDiscarded(const CopyJob* job, int verbose, const char* action, const char* how) {
  const CopyNotes& notes = job->notes;
  reportFailure(action, job->destinationPath, nullptr, notes.failure);
  if (verbose)
    consolePrintf("Failed to copy [%s], %s %s !\n", job->destinationPath, how,
                  discardOutcomes[notes.discarded]);
}

void printFailure(const CopyJob* job, int verbose) {
  const CopyNotes& notes = job->notes;
  switch (notes.failedStep) {
    case stepRead:
      reportFailure("read the source file", job->sourcePath, nullptr, notes.failure);
      return;
    case stepCreate:
      if (verbose) consolePrintf("Cannot create file in folder !\n");
      reportFailure("create the file", job->destinationPath, nullptr, notes.failure);
      return;
    case stepTransfer:
      if (notes.result == copyInterrupted) {
        if (verbose)
          consolePrintf("Copy interrupted [%s], the incomplete copy %s !\n", job->destinationPath,
                        discardOutcomes[notes.discarded]);
        return;
      }
      printDiscarded(job, verbose, "copy to", "the incomplete copy");
      return;
    case stepUnwritten:
      printDiscarded(job, verbose, "write to disk the copy",
                     "the copy could not be written to disk and");
      return;
    case stepPlace:
      printDiscarded(job, verbose, "put the copy in place",
                     "the copy could not take its place and");
      return;
    default: return;
  }
}
}  // namespace

void printCopyLines(const CopyJob* job, int verbose, char* folder) {
  printEvents(job, verbose, folder);
  if (job->notes.failedStep != stepNone) return printFailure(job, verbose);
  if (job->notes.result == copyTimeNotSet) {
    if (verbose) consolePrintf("Failed to set the filetime !\n");
    reportFailure("set the time of", job->destinationPath, nullptr, job->notes.timeFailure);
  } else if (job->notes.result == copyDone && verbose) {
    consolePrintf("Filetime set successfully %s!\n", job->destinationPath);
  }
}
