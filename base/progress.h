// The progress line: while standard error is a terminal, one line under the console
// lines that tells what the run has done so far, redrawn by a ticker at most ten
// times a second and erased at the end. It never reaches standard output or the log.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

/// The tree a listed file belongs to.
enum ProgressTree { progressDestination = 0, progressSource = 1 };

/// Threads that write copies at most: the deciding thread and 64 workers.
constexpr int copyWritersAtMost = 65;

/// What the line shows; the counters are kept only while shown is set, which is
/// written before the scan threads start and after they end.
struct ProgressState {
  int shown;
  int width;
  /// Files listed so far in each tree, each counter on a cache line of its own
  /// because each scan thread counts its own.
  alignas(64) std::atomic<int64_t> listed[2];
  alignas(64) std::atomic<int> copying;
  std::atomic<int64_t> filesTotal;
  std::atomic<int64_t> bytesTotal;
  std::atomic<int64_t> filesDone;
  std::atomic<int64_t> bytesDone;
  /// Where the copy under way of each thread writing copies stands: the deciding
  /// thread's at 0, each worker's after it.
  std::atomic<int64_t> writing[copyWritersAtMost];
  std::atomic<int64_t> copyStartMs;
};

/// Starts the line when standard error is a terminal and shown is set (a quiet run
/// shows none); does nothing otherwise.
void beginProgress(int shown);
/// Stops the ticker and erases the line.
void endProgress();
/// True while the line is shown.
int progressShown();

/// One more file listed in tree (a ProgressTree).
void noteListed(int tree);
/// The copies the listing decided, files and bytes: the line turns to copying.
void beginCopyProgress(int64_t files, int64_t bytes);
/// Where the copy under way of the thread writing copies in slot writer stands.
void noteCopyOffset(int writer, long long offset);
/// One copy ended, done or not, whose source file has size bytes.
void noteCopyDone(int64_t size);

/// A count with thousands separators: 12,345.
void formatCount(char* text, size_t size, int64_t count);
/// Bytes in the unit that suits them: 512 B, 1.5 KiB, 12.3 MiB, 4.0 GiB.
void formatBytes(char* text, size_t size, double bytes);
/// Milliseconds on the steady clock the line's times are taken from.
int64_t progressClockMs();

/// The line for the counters of state as they stand, at most width - 1 characters,
/// at nowMs on the clock the copy start was taken from.
void formatProgress(const ProgressState& state, char* line, int size, int width, int64_t nowMs);
