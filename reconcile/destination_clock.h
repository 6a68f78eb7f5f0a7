// The clocks of the destination's file systems: which last-write times each can
// hold, so that "the source is newer" is decided at the resolution its twin's file
// system keeps. A FAT stick keeps 2-second steps, exFAT 10 ms (1 s through FUSE),
// ext4 with small inodes whole seconds; a copy stamped with its source's time keeps
// only what its file system holds, and must still count as current.
#pragma once

#include <cstdint>

#include "collect/entry_table.h"
#include "platform/folders.h"
#include "platform/platform.h"

/// How a file system brings a time it is given to its own steps.
enum ClockRounding { roundsDown = 0, roundsUp = 1, roundsNearest = 2 };

/// The clock of one file system.
struct DestinationClock {
  int64_t step;       ///< 100-ns units a step; 1 for an exact clock
  int8_t rounding;    ///< a ClockRounding
  int8_t localTime;   ///< kept in local time (FAT): an hour off after a daylight-saving switch
  int8_t keepsTimes;  ///< 0 where the file system keeps the time of writing instead
};

/// 100-ns units in an hour, the shift of a daylight-saving switch.
constexpr int64_t unitsPerHour = 36000000000LL;
/// The coarsest step a supported clock has (FAT's 2 s).
constexpr int64_t coarsestStep = 20000000LL;

/// time brought to the clock's steps the way its file system brings it.
int64_t clockTime(const DestinationClock& clock, int64_t time);
/// True when a source of time source is out of date against a twin of time
/// destination kept by clock: the source brought to the clock is still later. On a
/// local-time clock a twin exactly one hour behind is a clock change, not older.
int sourceIsNewerOn(const DestinationClock& clock, int64_t source, int64_t destination);
/// The clock that gave kept[i] for each given[i] of probeTimes; 0 when one fits, else
/// 1, with clock then an exact one that keeps no times (keepsTimes 0) when every
/// kept time is far from the given one.
int clockFromProbe(const int64_t* kept, DestinationClock* clock);
/// The three times a probe gives; clockFromProbe tells them apart.
extern const int64_t probeTimes[3];
/// The clock a -p run assumes for a file system its type does not tell: steps of 2 s
/// or 1 s, rounding down, where the twin's time is a whole multiple of one; else exact.
DestinationClock assumedClock(int64_t destination);

/// What one file system met this run keeps.
struct KnownClock {
  uint64_t volume;
  DestinationClock clock;
  int assumed;  ///< no probe could tell: each twin's time tells (assumedClock)
};

/// The clocks of the file systems a run met: found once per file system and run.
struct DestinationClocks {
  TreeFolders* folders;        ///< where the probes are made
  int mayProbe;                ///< 0 for a preview, which writes nothing
  const char* fatClockFolder;  ///< test seam (ReconcileSeams::fatClockFolder), or null
  KnownClock known[32];
  int count;
  // The folder looked at last, and its file system: twins come folder by folder.
  char* folder;
  uint64_t folderVolume;
};

/// Readies clocks for a run that changes the destination through folders (and may
/// make probe files there unless mayProbe is 0); 1 when memory ran out.
int beginDestinationClocks(DestinationClocks* clocks, TreeFolders* folders, int mayProbe,
                           const char* fatClockFolder);
/// Frees what beginDestinationClocks made.
void endDestinationClocks(DestinationClocks* clocks);

/// True when the source entry is out of date against its destination twin at
/// destinationPath. Exact times decide where they can; a near tie asks the twin's
/// file system's clock, found from its type or, where mayProbe, by a
/// probe file in the twin's folder, once per file system and run.
int sourceIsNewer(DestinationClocks* clocks, const FileEntry& source, const FileEntry& destination,
                  const char* destinationPath);
/// True when the twin at destinationPath is later than its source as far as the twin's
/// clock can tell: no copy of the source would have been given its time.
int sourceIsOlder(DestinationClocks* clocks, const FileEntry& source, const FileEntry& destination,
                  const char* destinationPath);
/// Name of the probe file (numbered when taken). One left by a killed run is deleted
/// by the next as a file the source does not have.
extern const char* const clockProbeName;

/// The time a copy at path is to be given: time itself, but under the test seam's
/// folder the time FAT would keep of it.
FileTime stampFor(const DestinationClocks* clocks, const char* path, FileTime time);
