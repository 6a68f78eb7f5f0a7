// --backup-keep: at the end of a run that succeeded, the run folders of the backup
// folder beyond the newest N are removed, so that kept versions do not pile up.
#pragma once

struct RunFolders;
struct RunSettings;

/// The count of a run's folder named name: 1 for the bare stamp of its start
/// ("YYYY-MM-DD_HHMMSS"), 2 to mostRunsASecond after it ("_2"); 0 for any other name.
int runFolderCount(const char* name);

/// With --backup-keep=N, at the end of a run that succeeded: keeps the N newest run
/// folders of the backup folder, the run's own among them where it holds anything
/// (with -p: where wouldMove says the run would move files there), and removes the
/// others, oldest first, by stamp and then count. Only folders named as runs are
/// looked at, never a link, and never the run's own. Removals go through the held
/// backup folder, one level at a time, a link inside removed itself. Each is told
/// with -v, and with -p, which removes nothing. Returns the run's status then:
/// exitSuccess, exitSomeFailed where something could not be removed (its failure
/// line on standard error), or the interrupted one.
int keepNewestBackupRuns(const RunSettings& settings, RunFolders* folders, int wouldMove);
