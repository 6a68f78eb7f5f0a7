// The name a copy is written under until it is complete, stamped and on disk.
#pragma once

/// How a copy is written, as choosePathToWrite chose.
enum PartialKind {
  partialOwnName = 0,     ///< beside the destination, under a name made from its own
  partialSharedName = 1,  ///< beside it, under a name other copies into its folder may take
  partialNone = 2,        ///< straight into the destination: no partial name is free
};

/// Forgets the source names guarded for the last run. At its first copy, a run then
/// guards the listed source names that a partial file could take (those ending as
/// partial names do), so that no partial file is ever written over the copy of one.
void releasePartialNameGuard();

/// Forms in writePath (pathBufferSize bytes) the path a copy to destinationPath is
/// written to: the destination's name with the partial suffix added (and a number
/// after it where that is a guarded source name) or, where that name would be too
/// long, the suffix alone as a name in the same folder; where none fits, the
/// destination itself. Returns a PartialKind.
int choosePathToWrite(const char* destinationPath, char* writePath);
