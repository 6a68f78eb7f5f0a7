// POSIX only: the one conversion between a file time and the system's timespec.
#pragma once

#include <errno.h>
#include <time.h>

#include "platform/platform.h"

// Seconds between 1601-01-01 and 1970-01-01, and 100-ns units per second.
constexpr int64_t epochDifference = 11644473600LL;
constexpr int64_t unitsPerSecond = 10000000LL;
/// The latest file time, as a signed count of 100 ns holds it (and Windows keeps
/// it): 30828-09-14 02:48:05.4775807 UTC.
constexpr int64_t latestFileTime = INT64_MAX;

/// The file time of a system time. Times the count cannot hold are brought to its
/// nearest end, which keeps their order: before 1601 to 0, after 30828 to
/// latestFileTime.
inline FileTime toFileTime(const struct timespec& time) {
  int64_t units = latestFileTime;
  int64_t seconds = static_cast<int64_t>(time.tv_sec);
  int64_t lastSecond = latestFileTime / unitsPerSecond - epochDifference;
  int64_t fraction = static_cast<int64_t>(time.tv_nsec) / 100;
  if (seconds < -epochDifference)
    units = 0;
  else if (seconds < lastSecond ||
           (seconds == lastSecond && fraction <= latestFileTime % unitsPerSecond))
    units = (seconds + epochDifference) * unitsPerSecond + fraction;
  uint64_t bits = static_cast<uint64_t>(units);
  return FileTime{static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)};
}

/// The system time of a file time.
inline struct timespec toTimespec(FileTime time) {
  int64_t units = fileTimeValue(time);
  struct timespec result;
  result.tv_sec = static_cast<time_t>(units / unitsPerSecond - epochDifference);
  result.tv_nsec = static_cast<long>(units % unitsPerSecond) * 100;
  return result;
}

/// True, with errno set to ERANGE, for a file time that stands for a time the count
/// could not hold (an end toFileTime brought it to): a file given it then does not
/// carry its source's time, and setting it is no success, though the nearest time
/// is set so that the next run finds the twins in the same order.
inline bool outsideFileTimes(FileTime time) {
  int64_t units = fileTimeValue(time);
  if (units != 0 && units != latestFileTime) return false;
  errno = ERANGE;
  return true;
}
