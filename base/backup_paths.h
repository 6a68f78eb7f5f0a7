// Where the backup folder of --backup-dir puts what a run deletes or replaces: the
// run's own folder there, under the file's path below the destination root.
#pragma once

struct RunSettings;

/// Joins the run's backup folder and relativePath (below the destination root,
/// beginning with a separator) into out, of pathBufferSize bytes; 0 when it fits.
int backupPathFor(const RunSettings& settings, const char* relativePath, char* out);

/// 1 when relativePath (below the destination root, beginning with a separator) lies
/// in the backup folder.
int liesInBackupFolder(const RunSettings& settings, const char* relativePath);
