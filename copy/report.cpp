// The lines of one copy, printed on the deciding thread in the copies' order from
// what the copy's notes say happened: one wording for each failure, whichever
// thread wrote the copy and however it was synced. With --json, each line's object
// comes with it.
#include "copy/report.h"

#include "base/backup_paths.h"
#include "base/failure_report.h"
#include "base/json_events.h"
#include "base/paths.h"
#include "base/settings.h"

namespace {
// The path below the destination's root of a full destination path.
const char* belowRoot(const RunSettings& settings, const char* path) {
  return path + settings.destinationRootLength;
}

void tellFolderEvent(const CopyJob* job, const RunSettings& settings, int event, char* folder) {
  if (event == eventEmptyFolderGone) {
    if (settings.verbose) consolePrintf("Removed the empty folder [%s]\n", job->destinationPath);
    JsonAction removed = {jsonDelete, belowRoot(settings, job->destinationPath), jsonDone};
    removed.folder = 1;
    return jsonAction(settings, removed);
  }
  if (folderOfPath(job->destinationPath, folder) != 0) return;
  if (settings.verbose) consolePrintf("Creating folder [%s]\n", folder);
  if (event == eventFolderRepaired) return;
  JsonAction made = {jsonMkdir, belowRoot(settings, folder),
                     event == eventFolderMade ? jsonDone : jsonFailed};
  if (event == eventFolderNotMade) {
    made.failedTo = "make the folder";
    made.failure = job->notes.folderFailure;
  }
  jsonAction(settings, made);
}

// The lines of a copy that failed after its file was made, and was then removed.
void printDiscarded(const CopyJob* job, int verbose, const char* action, const char* how) {
  const CopyNotes& notes = job->notes;
  reportFailure(action, job->destinationPath, nullptr, notes.failure);
  if (verbose)
    consolePrintf("Failed to copy [%s], %s %s !\n", job->destinationPath, how,
                  discardOutcomes[notes.discarded]);
}

// What a failure line says could not be done at the copy's failed step.
const char* failedAction(const CopyNotes& notes) {
  switch (notes.failedStep) {
    case stepRead: return "read the source file";
    case stepCreate: return "create the file";
    case stepTransfer: return "copy to";
    case stepUnwritten: return "write to disk the copy";
    case stepPlace: return "put the copy in place";
    default:
      return notes.result == copyTimeNotSet       ? "set the time of"
             : notes.result == copyMetadataNotSet ? "set the metadata of"
                                                  : nullptr;
  }
}

void printFailure(const CopyJob* job, const RunSettings& settings) {
  const CopyNotes& notes = job->notes;
  int verbose = settings.verbose;
  switch (notes.failedStep) {
    case stepRead:
      // Gone since the listing: told, with or without -v, but no failure, so a quiet
      // run leaves it to the summary.
      if (notes.result == copySourceVanished) {
        if (!settings.quiet)
          consolePrintf("Vanished from the source since it was listed [%s]\n", job->sourcePath);
      } else {
        reportFailure(failedAction(notes), job->sourcePath, nullptr, notes.failure);
      }
      return;
    case stepCreate:
      if (verbose) consolePrintf("Cannot create file in folder !\n");
      reportFailure(failedAction(notes), job->destinationPath, nullptr, notes.failure);
      return;
    case stepTransfer:
      if (notes.result == copyInterrupted) {
        if (verbose)
          consolePrintf("Copy interrupted [%s], the incomplete copy %s !\n", job->destinationPath,
                        discardOutcomes[notes.discarded]);
        return;
      }
      printDiscarded(job, verbose, failedAction(notes), "the incomplete copy");
      return;
    case stepUnwritten:
      printDiscarded(job, verbose, failedAction(notes),
                     "the copy could not be written to disk and");
      return;
    case stepPlace:
      printDiscarded(job, verbose, failedAction(notes), "the copy could not take its place and");
      return;
    default: return;
  }
}

// The copy's object, and before it the move of the file it replaced, where the
// backup folder took it.
void tellJsonOutcome(const CopyJob* job, const RunSettings& settings, char* folder) {
  if (!settings.jsonOutput) return;
  const CopyNotes& notes = job->notes;
  const char* relative = belowRoot(settings, job->destinationPath);
  if (notes.replacedMoved && backupPathFor(settings, relative, folder) == 0) {
    JsonAction moved = {jsonMove, relative, jsonDone};
    moved.to = folder;
    moved.replaced = 1;
    jsonAction(settings, moved);
  }
  JsonAction copied = {job->replacesFile ? jsonUpdate : jsonCopy, relative, jsonFailed,
                       job->listedSize};
  bool failed = false;
  if (notes.result == copyDone)
    copied.outcome = jsonDone;
  else if (notes.result == copySourceVanished)
    copied.outcome = jsonVanished;
  else if (notes.result == copyInterrupted)
    copied.outcome = jsonStopped;
  else
    failed = true;
  if (failed) {
    copied.failedTo = failedAction(notes);
    copied.failure = notes.result == copyTimeNotSet       ? notes.timeFailure
                     : notes.result == copyMetadataNotSet ? notes.metadata.failure
                                                          : notes.failure;
    if (notes.result == copyOutOfMemory) copied.reason = "memory ran out";
    copied.inPlace = notes.result == copyTimeNotSet || notes.result == copyMetadataNotSet;
  }
  jsonAction(settings, copied);
}
}  // namespace

void printCopyLines(const CopyJob* job, const RunSettings& settings, char* folder) {
  int verbose = settings.verbose;
  for (int i = 0; i < job->notes.eventCount; ++i)
    tellFolderEvent(job, settings, job->notes.events[i], folder);
  if (job->notes.failedStep != stepNone) {
    printFailure(job, settings);
  } else if (job->notes.result == copyTimeNotSet) {
    if (verbose) consolePrintf("Failed to set the filetime !\n");
    reportFailure(failedAction(job->notes), job->destinationPath, nullptr, job->notes.timeFailure);
  } else if (job->notes.result == copyDone && verbose) {
    consolePrintf("Filetime set successfully %s!\n", job->destinationPath);
  } else if (job->notes.result == copyMetadataNotSet) {
    // In place with its time; a kind of its metadata alone could not be set.
    if (verbose) consolePrintf("Filetime set successfully %s!\n", job->destinationPath);
    reportFailure(failedAction(job->notes), job->destinationPath, nullptr,
                  job->notes.metadata.failure);
  }
  tellJsonOutcome(job, settings, folder);
}
