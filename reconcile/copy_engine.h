// The copies of a run, written on worker threads beside the thread that decides
// them, and reported in the order they were decided: every console line, error line
// and log line comes out as the copies written one after another would print it.
#pragma once

#include <cstdint>

#include "platform/folders.h"
#include "reconcile/copy_file.h"

/// Workers the copier starts for copyWorkers 0 (the default): one per processor the
/// process may use, at most this many (more stopped helping where it was measured).
constexpr int mostDefaultWorkers = 4;

/// Starts the copies of a run whose changes go through folders (held by the caller
/// until endCopyEngine): the batch of copies is begun, and workers are started unless
/// one is enough (copyWorkers 1, a single processor, -p, a low limit of open files),
/// in which case every copy is written on the calling thread, as it is handed in.
/// finished is called on the calling thread for each copy, in the order handed in,
/// once it is written, placed or queued, and reported.
void beginCopyEngine(DestinationFolders* folders, void (*finished)(const CopyJob* job));
/// Hands in the copy of sourcePath (listed with size bytes and time) to
/// destinationPath. Text printed or logged after this call, until the copy is
/// reported, waits and comes out after it.
void copyInTurn(const char* destinationPath, const char* sourcePath, FileTime time, int64_t size);
/// Writes and reports every copy handed in, stops the workers and ends the batch.
/// Returns the number of queued copies that failed to be placed (endCopyBatches).
int endCopyEngine();
/// Workers started for the run under way, or the last one; 0 when copies were
/// written as they were handed in.
int copyWorkersStarted();
