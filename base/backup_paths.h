// Where the backup folder of --backup-dir puts what a run deletes or replaces: the
// run's own folder there, under the file's path below the destination root.
#pragma once

struct RunSettings;

/// Joins the run's backup folder and relativePath (below the destination root,
/// beginning with a separator) into out, of pathBufferSize bytes; 0 when it fits.
int backupPathFor(const RunSettings& settings, const char* relativePath, char* out);

/// 1 when relativePath lies below folder, both below one root and beginning with a
/// separator; letters compared as a file system that ignores their case compares
/// them where foldCase is set, else as the platform compares names.
int liesInFolder(const char* relativePath, const char* folder, int foldCase);

/// 1 when relativePath (below the destination root, beginning with a separator) lies
/// in the backup folder, compared as liesInFolder compares.
int liesInBackupFolder(const RunSettings& settings, const char* relativePath, int foldCase);
