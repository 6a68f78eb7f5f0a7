#include "reconcile/destination_clock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/paths.h"

const char* const clockProbeName = ".talven-clock-probe";

// From 2020-01-01 00:00:00 UTC, an even second: an odd second with a fraction above
// every half step, an even one with the same fraction, and an even one with a
// fraction below every half step. Each clock of clockFromProbe keeps another triple.
const int64_t probeTimes[3] = {132223104000000000LL + 17375679LL, 132223104000000000LL + 27375679LL,
                               132223104000000000LL + 42342341LL};

namespace {
constexpr DestinationClock exactClock = {1, roundsDown, 0, 1};
// Steps a clock may have, finest first: 100 ns, 1 µs (some network shares), 10 ms
// (exFAT), 1 s (ext3, small-inode ext4, exFAT through FUSE, HFS+), 2 s (FAT).
constexpr int64_t candidateSteps[] = {1, 10, 100000, 10000000, coarsestStep};

int64_t floorDivide(int64_t value, int64_t step) {
  int64_t quotient = value / step;
  return value % step != 0 && value < 0 ? quotient - 1 : quotient;
}

DestinationClock clockOfKind(int kind) {
  switch (kind) {
    case clockKindSeconds: return DestinationClock{10000000, roundsDown, 0, 1};
    case clockKindExfat: return DestinationClock{100000, roundsDown, 0, 1};
    case clockKindFat: return DestinationClock{coarsestStep, roundsDown, 1, 1};
    default: return exactClock;
  }
}

int belowSeam(const DestinationClocks* clocks, const char* path) {
  const char* seam = clocks->fatClockFolder;
  if (!seam) return 0;
  size_t length = strlen(seam);
  return strncmp(path, seam, length) == 0 &&
         (path[length] == '\0' || isPathSeparator(path[length]));
}

FileTime fileTimeFrom(int64_t units) {
  uint64_t bits = static_cast<uint64_t>(units);
  return FileTime{static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)};
}

// Stamps a new file in folder with each probe time and reads back what its file
// system kept; the file is removed at once. Every step goes through the folder's
// handle, as every change to the destination does. 0 and clock set when a clock
// fits; 1 when none does (clockFromProbe); 2 when no probe file could be made or
// stamped.
int probeClock(DestinationClocks* clocks, const char* folder, DestinationClock* clock) {
  char path[pathBufferSize];
  int made = 0;
  for (int attempt = 0; attempt < 10 && !made; ++attempt) {
    char suffix[16] = "";
    if (attempt) snprintf(suffix, sizeof suffix, "-%d", attempt);
    int length =
        snprintf(path, sizeof path, "%s%c%s%s", folder, pathSeparator, clockProbeName, suffix);
    if (length < 0 || length >= static_cast<int>(sizeof path)) return 2;
    // Never a file that stands there already: it may be the user's.
    FileHandle probe = createNewFileIn(clocks->folders, path, 0600);
    made = probe != noFile;
    if (made) closeFile(probe);
  }
  if (!made) return 2;
  int64_t kept[3];
  int failed = 0;
  for (int i = 0; i < 3 && !failed; ++i) {
    FileTime time;
    FileTime given = stampFor(clocks, path, fileTimeFrom(probeTimes[i]));
    failed = setFileTimesIn(clocks->folders, path, given) != 0 ||
             getFileTimeIn(clocks->folders, path, &time) != 0;
    kept[i] = fileTimeValue(time);
  }
  deleteFileIn(clocks->folders, path);
  return failed ? 2 : clockFromProbe(kept, clock);
}

// Finds out the clock of the file system that folder lies on.
KnownClock learnClock(DestinationClocks* clocks, const char* folder, uint64_t volume) {
  int kind = belowSeam(clocks, folder) ? clockKindFat : fileSystemClockKind(folder);
  KnownClock learnt = {volume, clockOfKind(kind), 0};
  // An exact clock needs no probe; a preview writes nothing, so it goes by the type
  // or, where that does not tell, by each twin's own time.
  if (kind == clockKindExact) return learnt;
  if (!clocks->mayProbe) {
    learnt.assumed = kind == clockKindUnknown;
    return learnt;
  }
  DestinationClock probed;
  int result = probeClock(clocks, folder, &probed);
  if (result == 0 || (result == 1 && !probed.keepsTimes)) {
    learnt.clock = probed;
    learnt.clock.localTime = kind == clockKindFat;
  } else if (kind == clockKindUnknown) {
    learnt.assumed = 1;
  }
  return learnt;
}

const KnownClock* clockOfFolder(DestinationClocks* clocks, const char* folder) {
  size_t length = strlen(folder);
  if (strcmp(folder, clocks->folder) != 0) {
    FileIdentity identity;
    if (fileIdentity(folder, &identity) != 0) return nullptr;
    memcpy(clocks->folder, folder, length + 1);
    clocks->folderVolume = identity.volume;
  }
  for (int i = 0; i < clocks->count; ++i)
    if (clocks->known[i].volume == clocks->folderVolume) return &clocks->known[i];
  // Beyond the slots, further file systems are compared exactly, without a probe each.
  constexpr int slots = static_cast<int>(sizeof clocks->known / sizeof clocks->known[0]);
  if (clocks->count == slots) return nullptr;
  clocks->known[clocks->count] = learnClock(clocks, folder, clocks->folderVolume);
  return &clocks->known[clocks->count++];
}
}  // namespace

int64_t clockTime(const DestinationClock& clock, int64_t time) {
  if (clock.step <= 1 || !clock.keepsTimes) return time;
  int64_t down = floorDivide(time, clock.step) * clock.step;
  // The latest file time has no step after it.
  if (down == time || clock.rounding == roundsDown || down > INT64_MAX - clock.step) return down;
  if (clock.rounding == roundsUp) return down + clock.step;
  return 2 * (time - down) >= clock.step ? down + clock.step : down;
}

int sourceIsNewerOn(const DestinationClock& clock, int64_t source, int64_t destination) {
  int64_t brought = clockTime(clock, source);
  if (brought <= destination) return 0;
  // FAT's local time read under another daylight-saving offset than it was written
  // with shows every copy an hour early; recopying them all would gain nothing.
  if (clock.localTime && brought - destination == unitsPerHour) return 0;
  return 1;
}

int clockFromProbe(const int64_t* kept, DestinationClock* clock) {
  for (int64_t step : candidateSteps)
    for (int8_t rounding = roundsDown; rounding <= roundsNearest; ++rounding) {
      DestinationClock candidate = {step, rounding, 0, 1};
      int fits = 1;
      for (int i = 0; i < 3 && fits; ++i) fits = clockTime(candidate, probeTimes[i]) == kept[i];
      if (fits) {
        *clock = candidate;
        return 0;
      }
    }
  int far = 1;
  for (int i = 0; i < 3; ++i) {
    int64_t distance = kept[i] > probeTimes[i] ? kept[i] - probeTimes[i] : probeTimes[i] - kept[i];
    far = far && distance > coarsestStep;
  }
  *clock = DestinationClock{1, roundsDown, 0, static_cast<int8_t>(!far)};
  return 1;
}

DestinationClock assumedClock(int64_t destination) {
  // Only whole seconds are taken as a sign: one time in ten is a whole microsecond
  // by chance, one in ten million a whole second.
  for (int64_t step : {coarsestStep, coarsestStep / 2})
    if (destination == floorDivide(destination, step) * step)
      return DestinationClock{step, roundsDown, 0, 1};
  return exactClock;
}

namespace {
// The clock that decides between two times gap apart, the later one kept by the twin
// at destinationPath's file system: 1 when none is needed (apart by more than the
// coarsest step on every clock, but for the hour of a daylight-saving switch) or none
// is known, which makes the times differ; 0 with clock set otherwise.
int clockForNearTie(DestinationClocks* clocks, uint64_t gap, int64_t destinationTime,
                    const char* destinationPath, DestinationClock* clock) {
  uint64_t step = static_cast<uint64_t>(coarsestStep);
  uint64_t hour = static_cast<uint64_t>(unitsPerHour);
  if (gap > step && (gap + step <= hour || gap >= hour + step)) return 1;
  char folder[pathBufferSize];
  if (folderOfPath(destinationPath, folder) != 0) return 1;
  const KnownClock* known = clockOfFolder(clocks, folder);
  if (!known) return 1;
  *clock = known->assumed ? assumedClock(destinationTime) : known->clock;
  return 0;
}
}  // namespace

int sourceIsNewer(DestinationClocks* clocks, const FileEntry& source, const FileEntry& destination,
                  const char* destinationPath) {
  int64_t sourceTime = fileTimeValue(source.lastWriteTime);
  int64_t destinationTime = fileTimeValue(destination.lastWriteTime);
  if (sourceTime <= destinationTime) return 0;
  uint64_t gap = static_cast<uint64_t>(sourceTime) - static_cast<uint64_t>(destinationTime);
  DestinationClock clock;
  if (clockForNearTie(clocks, gap, destinationTime, destinationPath, &clock)) return 1;
  return sourceIsNewerOn(clock, sourceTime, destinationTime);
}

int sourceIsOlder(DestinationClocks* clocks, const FileEntry& source, const FileEntry& destination,
                  const char* destinationPath) {
  int64_t sourceTime = fileTimeValue(source.lastWriteTime);
  int64_t destinationTime = fileTimeValue(destination.lastWriteTime);
  if (sourceTime >= destinationTime) return 0;
  uint64_t gap = static_cast<uint64_t>(destinationTime) - static_cast<uint64_t>(sourceTime);
  DestinationClock clock;
  if (clockForNearTie(clocks, gap, destinationTime, destinationPath, &clock)) return 1;
  // The twin is the source's own copy where the clock kept the source's time as it is.
  int64_t brought = clockTime(clock, sourceTime);
  if (brought >= destinationTime) return 0;
  return !(clock.localTime && destinationTime - brought == unitsPerHour);
}

int beginDestinationClocks(DestinationClocks* clocks, TreeFolders* folders, int mayProbe,
                           const char* fatClockFolder) {
  clocks->folders = folders;
  clocks->mayProbe = mayProbe;
  clocks->fatClockFolder = fatClockFolder;
  clocks->count = 0;
  clocks->folderVolume = 0;
  clocks->folder = static_cast<char*>(malloc(static_cast<size_t>(pathBufferSize)));
  if (!clocks->folder) return 1;
  clocks->folder[0] = '\0';
  return 0;
}

void endDestinationClocks(DestinationClocks* clocks) {
  free(clocks->folder);
  clocks->folder = nullptr;
}

FileTime stampFor(const DestinationClocks* clocks, const char* path, FileTime time) {
  if (!belowSeam(clocks, path)) return time;
  return fileTimeFrom(floorDivide(fileTimeValue(time), coarsestStep) * coarsestStep);
}
