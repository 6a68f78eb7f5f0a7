// The steps an exact mirror takes on one entry, shared by reconcile/exact.cpp and
// reconcile/exact_finish.cpp. Nothing outside reconcile/ includes this.
#pragma once

#include <cstdint>

struct EntryTable;
struct Passes;

/// The position of entry in table.linkedNames, or -1 where it has one name.
int32_t linkedPosition(const EntryTable& table, int32_t entry);
/// Keeps source entry s to be placed after the deletions; 1 when memory ran out.
int deferEntry(Passes* passes, int32_t s);
/// Makes source entry s's link at its place, over its twin d (-1: none).
void placeLink(Passes* passes, int32_t s, int32_t d);
/// Makes source folder s where the destination has none.
void makeFolder(Passes* passes, int32_t s);
/// The twin d, a file or a link, goes (deleted, or moved with --backup-dir), and
/// source folder s takes its place.
void replaceByFolder(Passes* passes, int32_t s, int32_t d);
/// Source file s replaces the link d: an update whatever the times.
void updateOverLink(Passes* passes, int32_t s, int32_t d);
/// Tells and counts one failed step on path (below the destination's root) of kind
/// (a JsonAction kind): the failure taken from code.
void failStep(Passes* passes, const char* kind, const char* relativePath, const char* action,
              const char* path, int code);
