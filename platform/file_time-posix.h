// POSIX only: the one conversion between a file time and the system's timespec.
#pragma once

#include <time.h>

#include "platform/platform.h"

// Seconds between 1601-01-01 and 1970-01-01, and 100-ns units per second.
constexpr int64_t epochDifference = 11644473600LL;
constexpr int64_t unitsPerSecond = 10000000LL;

/// The file time of a system time; times before 1601 give 0.
inline FileTime toFileTime(const struct timespec& time) {
  int64_t seconds = static_cast<int64_t>(time.tv_sec) + epochDifference;
  uint64_t units = seconds < 0 ? 0
                               : static_cast<uint64_t>(seconds) * unitsPerSecond +
                                     static_cast<uint64_t>(time.tv_nsec) / 100;
  return FileTime{static_cast<uint32_t>(units), static_cast<uint32_t>(units >> 32)};
}

/// The system time of a file time.
inline struct timespec toTimespec(FileTime time) {
  uint64_t units = (static_cast<uint64_t>(time.high) << 32) | time.low;
  struct timespec result;
  result.tv_sec =
      static_cast<time_t>(static_cast<int64_t>(units / unitsPerSecond) - epochDifference);
  result.tv_nsec = static_cast<long>(units % unitsPerSecond) * 100;
  return result;
}
