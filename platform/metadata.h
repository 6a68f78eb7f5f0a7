// The metadata an exact mirror keeps beside an entry's data and time: permission
// bits, owner and group, extended attributes and access lists on POSIX; attributes
// and the security descriptor on Windows. What a listing tells of it comes with the
// one look the listing takes anyway (EntryMetadata); the rest is read per entry, only
// where the run looks at it. The bodies live in metadata-posix.cpp and
// metadata-win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/copy_files.h"
#include "platform/folders.h"
#include "platform/platform.h"

/// Kinds of metadata, bits: what a run keeps, and what a call met.
enum MetadataPart {
  metadataMode = 1,         ///< POSIX: the twelve permission bits
  metadataOwner = 2,        ///< POSIX: owner and group, by number
  metadataXattrs = 4,       ///< POSIX: extended attributes (every namespace the process may use)
  metadataAcls = 8,         ///< POSIX: access lists (system.posix_acl_*); Windows: the security
                            ///< descriptor (owner and DACL, the DACL alone without privileges)
  metadataAttributes = 16,  ///< Windows: read-only, hidden, system, archive, not-indexed
};
/// Every kind.
constexpr int metadataAll =
    metadataMode | metadataOwner | metadataXattrs | metadataAcls | metadataAttributes;

/// The kinds this system has at all: a run asks for no other.
constexpr int metadataOfSystem = platformIsWindows
                                     ? metadataAcls | metadataAttributes
                                     : metadataMode | metadataOwner | metadataXattrs | metadataAcls;

// EntryMetadata, what a listing tells of it, is in platform.h.

/// Reads what a listing tells of an entry's metadata of the folder at path, as the
/// user named it (links followed, as a root's time is read): a root's. 0 when read.
int readEntryMetadata(const char* path, EntryMetadata* metadata);

/// The extended attributes and access lists of one entry (POSIX), or its security
/// descriptor (Windows), packed: each item its name, a NUL, its value's length (4
/// bytes, native order) and its value, the items sorted by name so that two blocks of
/// equal items are equal bytes. Empty (size 0) where the entry has none.
struct ExtraMetadata {
  char* bytes;
  size_t size;
  size_t capacity;
};

/// What applying metadata met, by kind (MetadataPart bits). A kind the destination
/// cannot hold, or the process may not set, is left out without a failure: the run
/// counts it and tells it once.
struct MetadataOutcome {
  int notHeld;     ///< kinds the destination's file system refused as unsupported
  int notAllowed;  ///< kinds the process may not set: an owner as a user, set-id bits
                   ///< without their owner (dropped), a namespace it may not write
  int failedPart;  ///< the kind whose change failed for another reason; 0 when none
  int failure;     ///< that failure's code (lastFailureCode)
};

/// Reaches the folder of the entry at path (below the root of folders) as every change
/// is reached, never through a link, and sets name to the entry's name in it; for the
/// root itself, the root's own handle and the name ".". folder is owned by folders and
/// valid until its next call. Returns a FolderResult. The calls below take its answer.
int reachMetadataEntryIn(TreeFolders* folders, const char* path, FolderHandle* folder,
                         const char** name);
/// Frees the block's bytes and empties it.
void freeExtraMetadata(ExtraMetadata* extra);
/// Reads the kinds of parts (metadataXattrs, metadataAcls) of the entry name in
/// folder, never following a link (a link's own, where the system keeps any), into
/// extra, which it empties first. 0 when read (maybe nothing), else the system's code;
/// a file system that keeps none of a kind reads as none.
int readExtraMetadataIn(FolderHandle folder, const char* name, int parts, ExtraMetadata* extra);
/// The same of an open file (a copy's source).
int readExtraMetadataOf(FileHandle file, int parts, ExtraMetadata* extra);
/// 1 when two blocks hold the same items.
int sameExtraMetadata(const ExtraMetadata& a, const ExtraMetadata& b);
/// The kinds (metadataXattrs, metadataAcls) the block holds any item of.
int extraMetadataKinds(const ExtraMetadata& extra);
/// Sets the kinds of parts on an open file (a copy before it takes its name): owner
/// and group first, then the mode, then extra (items extra lacks are removed), since
/// a change of owner clears set-id bits and file capabilities. Windows attributes are
/// not set here (applyMetadataIn, once the copy has its name). Fills outcome.
void applyMetadataTo(FileHandle file, const EntryMetadata& metadata, const ExtraMetadata* extra,
                     int parts, MetadataOutcome* outcome);
/// The same for the entry name in folder, of kind (entryFile, entryFolder, entryLink),
/// never following a link: a folder's, a link's (what the system allows of it), a
/// twin whose metadata alone differs, and on Windows a copy's attributes once it has
/// its name (read-only last). Fills outcome.
void applyMetadataIn(FolderHandle folder, const char* name, int kind, const EntryMetadata& metadata,
                     const ExtraMetadata* extra, int parts, MetadataOutcome* outcome);
