// One run per destination: the lock a run holds on its destination root.
#pragma once

struct RunSeams;
struct RunSettings;

/// Takes the lock of the destination root for this run, also when the folder does not
/// exist yet. Prints the refusal and returns 1 when another run holds it; else 0,
/// also where the system could not lock the folder.
int lockRunDestination(const RunSettings& settings, const RunSeams* seams);
/// Gives the lock back at the run's end.
void releaseRunDestination();
