#include "base/progress.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {
// The line of this run: its ticker reads it, the scans and the copies count in it.
ProgressState progress;
PlatformTicker* ticker;
constexpr int redrawIntervalMs = 100;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void formatCopying(const ProgressState& state, char* line, int size, int64_t now) {
  int64_t files = state.filesDone.load(std::memory_order_relaxed);
  int64_t filesTotal = state.filesTotal.load(std::memory_order_relaxed);
  int64_t bytesTotal = state.bytesTotal.load(std::memory_order_relaxed);
  int64_t bytes = state.bytesDone.load(std::memory_order_relaxed);
  for (const auto& writer : state.writing) bytes += writer.load(std::memory_order_relaxed);
  if (bytes > bytesTotal) bytes = bytesTotal;
  if (files > filesTotal) files = filesTotal;
  char done[32], total[32], doneBytes[32], totalBytes[32], rate[32], left[32] = "";
  formatCount(done, sizeof done, files);
  formatCount(total, sizeof total, filesTotal);
  formatBytes(doneBytes, sizeof doneBytes, static_cast<double>(bytes));
  formatBytes(totalBytes, sizeof totalBytes, static_cast<double>(bytesTotal));
  double seconds = static_cast<double>(now - state.copyStartMs.load()) / 1000.0;
  double perSecond = seconds > 0.2 ? static_cast<double>(bytes) / seconds : 0;
  if (perSecond > 0) {
    formatBytes(rate, sizeof rate, perSecond);
    strcat(rate, "/s");
    int64_t remaining = static_cast<int64_t>(static_cast<double>(bytesTotal - bytes) / perSecond);
    snprintf(left, sizeof left, ", %" PRId64 ":%02" PRId64 " left", remaining / 60, remaining % 60);
  } else {
    strcpy(rate, "-- B/s");
  }
  snprintf(line, static_cast<size_t>(size), "Copying: %s of %s files, %s of %s, %s%s", done, total,
           doneBytes, totalBytes, rate, left);
}

void drawProgress(void*) {
  char line[256];
  formatProgress(progress, line, sizeof line, progress.width, nowMs());
  showStatusLine(line);
}
}  // namespace

void formatCount(char* text, size_t size, int64_t count) {
  char digits[32];
  int length = snprintf(digits, sizeof digits, "%" PRId64, count < 0 ? 0 : count);
  size_t at = 0;
  for (int i = 0; i < length && at + 2 < size; ++i) {
    if (i > 0 && (length - i) % 3 == 0) text[at++] = ',';
    text[at++] = digits[i];
  }
  text[at] = '\0';
}

void formatBytes(char* text, size_t size, double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  if (unit == 0)
    snprintf(text, size, "%.0f B", bytes);
  else
    snprintf(text, size, "%.1f %s", bytes, units[unit]);
}

int64_t progressClockMs() {
  return nowMs();
}

void formatProgress(const ProgressState& state, char* line, int size, int width, int64_t now) {
  if (state.copying.load(std::memory_order_acquire)) {
    formatCopying(state, line, size, now);
  } else {
    char destination[32], source[32];
    formatCount(destination, sizeof destination, state.listed[progressDestination].load());
    formatCount(source, sizeof source, state.listed[progressSource].load());
    snprintf(line, static_cast<size_t>(size),
             "Listing: %s files in the destination, %s in the source", destination, source);
  }
  // A line wider than the terminal would wrap, and only its last row be erased.
  if (width > 1 && static_cast<int>(strlen(line)) > width - 1) line[width - 1] = '\0';
}

void beginProgress(int shown) {
  for (auto& count : progress.listed) count.store(0);
  progress.copying.store(0);
  progress.filesDone.store(0);
  progress.bytesDone.store(0);
  for (auto& writer : progress.writing) writer.store(0);
  progress.width = shown ? statusLineWidth() : 0;
  progress.shown = progress.width > 0;
  if (!progress.shown) return;
  ticker = startTicker(drawProgress, nullptr, redrawIntervalMs);
  // Without its ticker there is no line to keep.
  if (!ticker) progress.shown = 0;
}

void endProgress() {
  if (!progress.shown) return;
  stopTicker(ticker);
  ticker = nullptr;
  showStatusLine("");
  progress.shown = 0;
}

void beginCopyProgress(int64_t files, int64_t bytes) {
  if (!progress.shown) return;
  progress.filesTotal.store(files);
  progress.bytesTotal.store(bytes);
  progress.copyStartMs.store(nowMs());
  progress.copying.store(1, std::memory_order_release);
}

void noteCopyDone(int64_t size) {
  if (!progress.shown) return;
  progress.bytesDone.fetch_add(size, std::memory_order_relaxed);
  progress.filesDone.fetch_add(1, std::memory_order_relaxed);
}

int progressShown() {
  return progress.shown;
}

void noteListed(int tree) {
  if (progress.shown) progress.listed[tree].fetch_add(1, std::memory_order_relaxed);
}

void noteCopyOffset(int writer, long long offset) {
  if (progress.shown) progress.writing[writer].store(offset, std::memory_order_relaxed);
}
