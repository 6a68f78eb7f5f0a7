// The backup folder of --backup-dir: every file a run deletes or replaces is moved
// there, into a folder of the run's own named by its start, under its path below the
// destination root.
#pragma once

#include <ctime>

struct RunFolders;
struct RunSettings;

/// The most runs of one second that get a folder each: the first takes the start's
/// stamp, the others "_2" to "_999" after it.
constexpr int mostRunsASecond = 999;

/// Checks the backup folder before anything is listed: not in the source, not the
/// destination itself, and on the destination's file system (its files are moved
/// there, never copied). Where it lies inside the destination, sets
/// backupInDestination. Prints the reason and returns 1 when refused, else 0.
int checkBackupFolder(RunSettings* settings);

/// Names the run's folder in the backup folder by start ("YYYY-MM-DD_HHMMSS", then
/// "_2", "_3" where a run of the same second has one) into backupRunFolder and, unless
/// -p, makes it, with the backup folder where missing: only a folder that did not
/// exist, so that no run writes into another's. Both are held in folders from then
/// on. The run's folder must not lie in the source, as it was reached, and must take
/// a file moved from the destination root (tried with a file of the run's own). Then
/// the backup folder gets its tag (base/backup_tag.h) where it has none yet; a file of
/// the tag's name that is no tag is refused. Prints the reason and returns 1 when
/// it could not be made or is refused, and then nothing of it is left. With -p
/// nothing is made, and the backup folder is held where it exists, to be read.
int makeBackupRunFolder(RunSettings* settings, RunFolders* folders, time_t start);

/// Lets the run's folder go, and removes it when the run moved nothing into it.
void removeEmptyBackupRunFolder(const RunSettings& settings, RunFolders* folders);
