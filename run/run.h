// The run sequence: from the command line to the exit status.
#pragma once

struct RunSeams;

/// Runs the whole program once and returns its exit status.
int runTalven(int argc, char** argv);
/// The same with test seams (seams.h); null: none.
int runTalvenWith(int argc, char** argv, const RunSeams* seams);

/// Checks, on resolved absolute paths, that neither root lies inside the other and
/// that they are not one folder. Prints the reason and returns nonzero when they do.
int checkRootsApart(const char* destination, const char* source);

struct FileIdentity;

/// Resolves root into an absolute path ending in one separator (pathBufferSize
/// bytes); 0 when done.
int resolveRoot(const char* root, char* resolved);
/// 1 when the resolved path inner lies within the folder outer, by the identities of
/// the folders on its way: names cannot show every way two folders meet.
int liesWithin(const char* inner, const char* outer);
/// The identity of the resolved folder path or, where it does not exist yet, of its
/// nearest existing ancestor, in which it would be made; 0 when found.
int nearestFolderIdentity(const char* resolved, FileIdentity* identity);
