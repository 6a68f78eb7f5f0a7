// The steps an exact mirror takes on one entry, shared by reconcile/exact.cpp and
// reconcile/exact_finish.cpp. Nothing outside reconcile/ includes this.
#pragma once

#include <cstdint>

struct EntryTable;
struct ExtraMetadata;
struct MetadataOutcome;
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
/// Reads the kinds parts of source entry s's extra metadata (s -1: the root's) through
/// the deciding thread's way into the source; 0 when read.
int readSourceExtra(Passes* passes, int32_t s, int parts, ExtraMetadata* extra);
/// Sets kinds of source entry s's metadata (-1: the root's) on the entry of kind at
/// path, without telling it: what is left out is counted. Returns the kinds tried.
int applyEntryMetadata(Passes* passes, int32_t s, int kind, const char* path, int kinds,
                       const ExtraMetadata* extra, MetadataOutcome* outcome);
/// The kinds in which source entry s (-1: the root) and its twin d (-1: the root)
/// differ; the extra kinds read (the source's into extra) only where the source
/// changed since its twin did, which later tells.
int kindsToChange(Passes* passes, int32_t s, int32_t d, const char* path, ExtraMetadata* extra,
                  bool* later);
/// Sets kinds of s's metadata on its twin d at path (relative below the root) and
/// tells it as a change of its own; a preview only tells it. Returns the kinds set (a
/// preview: to set) or failed; 0 where nothing could be.
int changeMetadata(Passes* passes, int32_t s, int32_t d, int kind, const char* path,
                   const char* relative, int kinds, const ExtraMetadata* extra);
/// Gives the link that source entry s made at path (relative below the root) its
/// owner and extended attributes, where the run keeps them.
void giveLinkMetadata(Passes* passes, int32_t s, const char* path, const char* relative);
/// Tells and counts one failed step on path (below the destination's root) of kind
/// (a JsonAction kind): the failure taken from code.
void failStep(Passes* passes, const char* kind, const char* relativePath, const char* action,
              const char* path, int code);
