#include "run/backup_folder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/backup_tag.h"
#include "base/paths.h"
#include "base/run_folders.h"
#include "base/settings.h"
#include "platform/folders.h"
#include "platform/platform.h"

namespace {
// Paths the checks work on: too large for the stack on Windows.
struct BackupNames {
  char given[pathBufferSize];  ///< backupDir without trailing separators
  char backup[pathBufferSize];
  char destination[pathBufferSize];
  char source[pathBufferSize];
};

int refuse(const char* format, const char* a, const char* b) {
  consolePrintf(format, a, b);
  return 1;
}

int checkNames(RunSettings* settings, BackupNames* names) {
  const char* backupDir = settings->backupDir;
  int taken = takeRoot(names->given, backupDir);
  if (taken == rootTooLong) {
    consolePrintf("The backup folder name is too long (at most %d characters) !\n",
                  pathBufferSize - 1);
    return 1;
  }
  if (taken == rootEmpty)
    return refuse("The backup folder [%s] is empty%s: give a folder !\n", backupDir, "");
  if (resolveRoot(names->given, names->backup) ||
      resolveRoot(settings->destinationRoot, names->destination) ||
      resolveRoot(settings->sourceRoot, names->source))
    return refuse("Cannot resolve the backup folder name [%s]%s !\n", backupDir, "");
  // What the run moves away would be listed as source files, and copied back.
  if (holdsPath(names->source, names->backup))
    return refuse("The backup folder [%s] lies inside the source folder [%s] !\n", names->backup,
                  names->source);
  size_t destinationLength = strlen(names->destination);
  size_t backupLength = strlen(names->backup);
  if (backupLength == destinationLength &&
      pathNamesEqualN(names->backup, names->destination, backupLength))
    return refuse(
        "The backup folder [%s] is the destination folder%s: give a folder inside it or "
        "beside it !\n",
        names->backup, "");
  if (backupLength > destinationLength &&
      pathNamesEqualN(names->backup, names->destination, destinationLength)) {
    // As the listing spells it: the root as given, then the path below it.
    size_t rootLength = strlen(settings->destinationRoot);
    char* backupInDestination = settings->backupInDestination;
    size_t below = backupLength - destinationLength - 1;  // without its final separator
    if (rootLength + 1 + below + 1 > static_cast<size_t>(pathBufferSize))
      return refuse("The backup folder name [%s] is too long%s !\n", backupDir, "");
    memcpy(backupInDestination, settings->destinationRoot, rootLength);
    backupInDestination[rootLength] = pathSeparator;
    memcpy(backupInDestination + rootLength + 1, names->backup + destinationLength, below);
    backupInDestination[rootLength + 1 + below] = '\0';
  } else if (liesWithin(names->backup, names->destination)) {
    // Inside by another name (a link, a second mount): the listing would not know it.
    return refuse(
        "The backup folder [%s] lies inside the destination folder [%s] by another name: give "
        "its path in the destination !\n",
        names->backup, names->destination);
  }
  FileIdentity backupIdentity;
  FileIdentity destinationIdentity;
  if (nearestFolderIdentity(names->backup, &backupIdentity) ||
      nearestFolderIdentity(names->destination, &destinationIdentity))
    return refuse("Cannot reach the backup folder [%s]%s !\n", names->backup, "");
  if (backupIdentity.volume != destinationIdentity.volume)
    return refuse(
        "The backup folder [%s] is not on the file system of the destination folder [%s]: "
        "files are moved there, never copied !\n",
        names->backup, names->destination);
  return 0;
}

// The name of the run's folder, the count-th of its second; 0 when it fits.
int runFolderName(char* out, const char* given, const char* stamp, int count) {
  int written =
      count == 1 ? snprintf(out, pathBufferSize, "%s%c%s", given, pathSeparator, stamp)
                 : snprintf(out, pathBufferSize, "%s%c%s_%d", given, pathSeparator, stamp, count);
  return written < 0 || written >= pathBufferSize;
}

// Tells why the backup folder could not be made, names it and forgets its name.
int refuseRunFolder(char* backupRunFolder, const char* given, int code) {
  char reason[256] = "the name is too long";
  if (code != 0) describeSystemFailure(code, reason, sizeof reason);
  consolePrintf("Cannot make the backup folder [%s] (%s): nothing was changed !\n",
                backupRunFolder[0] ? backupRunFolder : given, reason);
  backupRunFolder[0] = '\0';
  return 1;
}

// Holds the backup folder (made where missing, through the folder held above it) and
// makes the run's own folder in it: only a folder that did not exist, so that no run
// writes into another's. Both are held for the run.
int makeRunFolder(char* backupRunFolder, RunFolders* folders, const char* given,
                  const char* stamp) {
  int made = holdFolder(&folders->backup, given);
  if (made == folderMissing) made = makeHeldFolder(&folders->backup);
  int code = made == folderDone ? 0 : lastFailureCode();
  if (made != folderDone) return refuseRunFolder(backupRunFolder, given, code);
  for (int count = 1; count <= mostRunsASecond; ++count) {
    if (runFolderName(backupRunFolder, given, stamp, count))
      return refuseRunFolder(backupRunFolder, given, 0);
    const char* name = backupRunFolder + folderPartLength(backupRunFolder);
    if (makeNewHeldFolder(&folders->backup, name, &folders->backupRun) == folderDone) return 0;
    code = lastFailureCode();
    if (!isAlreadyExists(code)) break;
  }
  return refuseRunFolder(backupRunFolder, given, code);
}

// Refuses a backup folder that lies in the source, as it was reached: what the run
// moves there would be listed as source files, and copied back.
int refuseInSource(const RunSettings& settings, const RunFolders& folders) {
  FileIdentity source;
  const HeldFolder& held = folders.source;
  if (held.heldLength != strlen(held.path) || heldFolderIdentity(&held, &source) != 0) return 0;
  if (!heldFolderLiesWithin(&folders.backup, source) &&
      !heldFolderLiesWithin(&folders.backupRun, source))
    return 0;
  consolePrintf("The backup folder [%s] lies inside the source folder [%s] !\n",
                folders.backup.path, settings.sourceRoot);
  return 1;
}

// Tries, with a file of its own, what every move of the run does: from the
// destination root into the run's folder. A bind mount of one file system, or a
// folder that may not be written, fails here, before anything is listed.
int refuseUntakenMoves(const RunSettings& settings, const RunFolders& folders) {
  const HeldFolder& destination = folders.destination;
  // A destination not made yet holds nothing to move.
  if (destination.handle == noFolder || destination.heldLength != strlen(destination.path))
    return 0;
  int failure = tryMoveBetween(&destination, &folders.backupRun);
  if (failure == 0) return 0;
  char reason[256];
  describeSystemFailure(failure, reason, sizeof reason);
  consolePrintf(
      "The backup folder [%s] cannot take the files of the destination folder [%s] (%s): "
      "nothing was changed !\n",
      settings.backupRunFolder, settings.destinationRoot, reason);
  return 1;
}

// Gives the backup folder its tag, so that every run, with or without --backup-dir,
// passes over what it keeps. A tag made by an earlier run stays as it is, and one cut
// short (a run killed or a machine stopped while it was made) is made whole; a file
// of its name that is neither is the user's, and is never written over.
int tagBackupFolder(const HeldFolder& backup) {
  std::string path = std::string(backup.path) + pathSeparator + backupTagName;
  char start[sizeof backupTagText];
  long got = readFileStart(path.c_str(), start, sizeof start);
  if (got > 0 && isBackupTag(start, static_cast<size_t>(got))) return 0;
  size_t length = sizeof backupTagText - 1;
  int cutShort = got >= 0 && static_cast<size_t>(got) < length &&
                 memcmp(start, backupTagText, static_cast<size_t>(got)) == 0;
  int made = got >= 0 && !cutShort
                 ? folderRefused
                 : writeSmallFileIn(&backup, backupTagName, backupTagText, length, cutShort);
  if (made == folderDone) return 0;
  int code = got >= 0 && !cutShort ? 0 : lastFailureCode();
  if (code == 0 || isAlreadyExists(code)) {
    consolePrintf(
        "The file [%s] is not the tag of a backup folder: move it away, or give another backup "
        "folder !\n",
        path.c_str());
    return 1;
  }
  char reason[256];
  describeSystemFailure(code, reason, sizeof reason);
  consolePrintf("Cannot tag the backup folder [%s] (%s): nothing was changed !\n", backup.path,
                reason);
  return 1;
}
}  // namespace

int checkBackupFolder(RunSettings* settings) {
  if (!settings->backupDir) return 0;
  BackupNames* names = static_cast<BackupNames*>(malloc(sizeof(BackupNames)));
  if (!names) {
    consolePrintf("Memory allocation failure !\n");
    return 1;
  }
  int refused = checkNames(settings, names);
  free(names);
  return refused;
}

int makeBackupRunFolder(RunSettings* settings, RunFolders* folders, time_t start) {
  if (!settings->backupDir) return 0;
  char* backupRunFolder = settings->backupRunFolder;
  char stamp[32];
  // Only the main thread runs yet: the shared result of localtime is safe here.
  const struct tm* local = localtime(&start);
  if (!local || strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", local) == 0)
    snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(start));
  char* given = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  if (!given) {
    consolePrintf("Memory allocation failure !\n");
    return 1;
  }
  int failed = takeRoot(given, settings->backupDir) != rootTaken;
  if (!failed && settings->previewOnly) {
    // Nothing is made: the name told is the one a run would make now.
    FileIdentity identity;
    for (int count = 1; count <= mostRunsASecond; ++count)
      if (runFolderName(backupRunFolder, given, stamp, count) ||
          fileIdentity(backupRunFolder, &identity) != 0)
        break;
    // Only read: --backup-keep tells what it would remove there.
    holdFolder(&folders->backup, given);
  } else if (!failed) {
    failed = makeRunFolder(backupRunFolder, folders, given, stamp) ||
             refuseInSource(*settings, *folders) || refuseUntakenMoves(*settings, *folders) ||
             tagBackupFolder(folders->backup);
    if (failed) removeEmptyBackupRunFolder(*settings, folders);
  }
  free(given);
  return failed;
}

void removeEmptyBackupRunFolder(const RunSettings& settings, RunFolders* folders) {
  if (folders->backupRun.handle == noFolder) return;
  // Let go first: a folder held cannot be removed everywhere.
  releaseHeldFolder(&folders->backupRun);
  const char* name = settings.backupRunFolder + folderPartLength(settings.backupRunFolder);
  // A folder that holds anything stays.
  removeEmptyHeldFolder(&folders->backup, name);
}
