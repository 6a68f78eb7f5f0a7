// Paths as the run takes and builds them: a folder argument taken as a root, its
// resolved form, whether one folder lies within another, the folder of a path, and
// a root joined with a path below it. Every path fits a buffer of pathBufferSize.
#pragma once

#include <cstddef>

struct FileIdentity;

/// Results of takeRoot.
enum TakeRootResult {
  rootTaken = 0,    ///< copied, trailing separators removed
  rootTooLong = 1,  ///< does not fit the path buffer
  rootEmpty = 2,    ///< empty, or nothing but separators (a file-system root)
};

/// Copies a folder argument into root (pathBufferSize bytes) and removes every
/// trailing separator, so that D:\dst\\ lines up with D:\dst. Returns a TakeRootResult.
int takeRoot(char* root, const char* argument);

/// Resolves root into an absolute path ending in one separator (pathBufferSize
/// bytes); 0 when done.
int resolveRoot(const char* root, char* resolved);

/// 1 when the resolved path inner lies within the folder outer, by the identities of
/// the folders on its way: names cannot show every way two folders meet.
int liesWithin(const char* inner, const char* outer);

/// 1 when the resolved path inner is the resolved folder outer or lies below it, by
/// name or by identity.
int holdsPath(const char* outer, const char* inner);

/// The identity of the resolved folder path or, where it does not exist yet, of its
/// nearest existing ancestor, in which it would be made; 0 when found.
int nearestFolderIdentity(const char* resolved, FileIdentity* identity);

/// Bytes of path up to and including its last separator; 0 when it has none.
size_t folderPartLength(const char* path);

/// Writes into folder (pathBufferSize bytes) the folder of path: everything up to its
/// last separator, less one trailing pathSeparator. Returns 0, or 1 when the path
/// does not fit a path buffer (folder is then left empty).
int folderOfPath(const char* path, char* folder);

/// Joins root and relativePath (which begins with a separator, or is empty) into
/// full (pathBufferSize bytes); 0 when it fits, 1 when not (full is then untouched).
int joinPath(char* full, const char* root, const char* relativePath);
