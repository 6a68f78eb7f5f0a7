// One run per destination: the lock a run holds on its destination root.
#pragma once

/// Test seam: when set, called once the run holds the lock of its destination.
extern void (*destinationLockedHook)();

/// Takes the lock of destinationRoot for this run, also when the folder does not
/// exist yet. Prints the refusal and returns 1 when another run holds it; else 0,
/// also where the system could not lock the folder.
int lockRunDestination();
/// Gives the lock back at the run's end.
void releaseRunDestination();
