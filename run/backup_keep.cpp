#include "run/backup_keep.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/failure_report.h"
#include "base/paths.h"
#include "base/run_folders.h"
#include "base/settings.h"
#include "platform/folders.h"
#include "run/backup_folder.h"

namespace {
struct RunFolder {
  std::string name;
  int count;
};

struct RunFolderList {
  std::vector<RunFolder> runs;
  const char* own;  ///< the name of this run's folder, never listed here
  bool full;        ///< memory ran out: the list is not whole
};

void noteRunFolder(void* context, const char* name, int isFolder) {
  RunFolderList* list = static_cast<RunFolderList*>(context);
  int count = isFolder ? runFolderCount(name) : 0;
  if (count == 0 || pathNamesEqual(name, list->own)) return;
  try {
    list->runs.push_back(RunFolder{name, count});
  } catch (...) {
    list->full = true;
  }
}

// Newest first: the later stamp, then, of one second, the higher count.
bool newer(const RunFolder& a, const RunFolder& b) {
  int order = a.name.compare(0, 17, b.name, 0, 17);
  return order != 0 ? order > 0 : a.count > b.count;
}

void noteAnything(void* context, const char*, int) {
  *static_cast<int*>(context) = 1;
}

// Whether the run's own folder stays: it holds what the run moved (with -p, would).
int ownFolderStays(const RunSettings& settings, const RunFolders& folders, int wouldMove) {
  if (settings.previewOnly) return wouldMove != 0;
  int holdsAnything = 0;
  listHeldFolder(&folders.backupRun, noteAnything, &holdsAnything);
  return holdsAnything;
}

// Removes (with -p, only tells) the run folders beyond the newest keep; the status.
int removeOldest(const RunSettings& settings, const HeldFolder& backup,
                 const std::vector<RunFolder>& runs, size_t keep) {
  int status = exitSuccess;
  for (size_t i = runs.size(); i > keep; --i) {
    if (interruptRequested()) return interruptedExitStatus;
    std::string path = std::string(backup.path) + pathSeparator + runs[i - 1].name;
    if (settings.verbose || settings.previewOnly)
      consolePrintf("Removing old run folder [%s]\n", path.c_str());
    if (settings.previewOnly) continue;
    if (int code = removeFolderTreeIn(&backup, runs[i - 1].name.c_str())) {
      reportFailure("remove", path.c_str(), nullptr, code);
      status = exitSomeFailed;
    }
  }
  return status;
}
}  // namespace

int runFolderCount(const char* name) {
  static const char form[] = "dddd-dd-dd_dddddd";
  for (size_t i = 0; i + 1 < sizeof form; ++i) {
    char c = name[i];
    if (form[i] == 'd' ? c < '0' || c > '9' : c != form[i]) return 0;
  }
  const char* rest = name + sizeof form - 1;
  if (*rest == '\0') return 1;
  // "_2" to "_999", as the runs of one second name theirs: no leading zero.
  if (rest[0] != '_' || rest[1] < '1' || rest[1] > '9') return 0;
  int count = 0;
  for (++rest; *rest; ++rest) {
    if (*rest < '0' || *rest > '9' || count > mostRunsASecond) return 0;
    count = count * 10 + (*rest - '0');
  }
  return count >= 2 && count <= mostRunsASecond ? count : 0;
}

int keepNewestBackupRuns(const RunSettings& settings, RunFolders* folders, int wouldMove) {
  if (settings.backupKeep <= 0 || !settings.backupRunFolder[0]) return exitSuccess;
  const HeldFolder& backup = folders->backup;
  // A preview of a backup folder not made yet has nothing to remove.
  if (settings.previewOnly &&
      (backup.handle == noFolder || backup.heldLength != strlen(backup.path)))
    return exitSuccess;
  try {
    RunFolderList list = {
        {}, settings.backupRunFolder + folderPartLength(settings.backupRunFolder), false};
    if (int code = listHeldFolder(&backup, noteRunFolder, &list)) {
      reportFailure("list", backup.path, nullptr, code);
      return exitSomeFailed;
    }
    if (list.full) throw std::bad_alloc();
    std::sort(list.runs.begin(), list.runs.end(), newer);
    size_t keep = static_cast<size_t>(settings.backupKeep);
    if (ownFolderStays(settings, *folders, wouldMove)) --keep;
    return removeOldest(settings, backup, list.runs, keep);
  } catch (...) {
    consolePrintf("Memory allocation failure !\n");
    return exitSomeFailed;
  }
}
