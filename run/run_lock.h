// One run per destination: the lock a run holds on its destination root.
#pragma once

/// Test seam: when set, called once the run holds the lock of its destination.
extern void (*destinationLockedHook)();

/// Takes the lock of destinationRoot for this run. A destination that does not exist
/// yet is made first, so that it can be locked (a preview makes nothing and takes no
/// lock then). Prints the refusal and returns 1 when another run holds it; else 0,
/// also where the system could not lock the folder.
int lockRunDestination();
/// Gives the lock back at the run's end. A destination root that this run made is
/// removed again, with the folders made for it, when the run stopped (status) and
/// left them empty.
void releaseRunDestination(int status);
