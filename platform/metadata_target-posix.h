// POSIX only: the entry whose metadata is read or set, reached either as an open file
// or as a name in an open folder, never through a link at that name; and the calls
// on extended attributes that take either way. Shared by metadata-posix.cpp (the
// packed blocks) and metadata_apply-posix.cpp (owner, mode and the order of it all).
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/metadata.h"

/// An open file (file), or the entry name in the open folder folder (file -1).
struct MetadataTarget {
  int file;
  int folder;
  const char* name;
  int kind;  ///< entryFile, entryFolder or entryLink
  /// The entry's extended attributes are reached by "/proc/self/fd/<folder>/<name>",
  /// the last name never followed; where /proc is not there, through a descriptor of
  /// the entry opened for it (attributeFile), and a link's own read as none.
  char attributePath[PATH_MAX];
  int attributeFile;
};

/// Readies target for the entry name in folder; closeMetadataTarget afterwards.
void reachMetadataTargetIn(MetadataTarget* target, int folder, const char* name, int kind);
/// Readies target for the open file file.
void reachMetadataTargetOf(MetadataTarget* target, int file);
/// Closes what reaching the target opened.
void closeMetadataTarget(MetadataTarget* target);

/// The entry's own stat; 0 when read, else errno.
int statMetadataTarget(const MetadataTarget& target, struct stat* info);

/// The kind (metadataXattrs, metadataAcls) an item's name belongs to; 0 for the names
/// left out: a file system's own representations under system.* other than the
/// access lists (an NFS or rich ACL's, which no other file system takes).
int metadataKindOfName(const char* name);

/// Reads the items of the kinds in parts into extra, sorted; 0 or errno.
int readTargetExtra(const MetadataTarget& target, int parts, ExtraMetadata* extra);
/// Sets the items of the kinds in parts that target lacks or holds otherwise than
/// wanted, and removes those wanted lacks; what it met goes into outcome.
void applyTargetExtra(const MetadataTarget& target, const ExtraMetadata& wanted, int parts,
                      MetadataOutcome* outcome);
/// Files what a change of kind met, its errno code: a file system that does not
/// take it (notHeld), a process that may not (notAllowed), or another failure.
/// fileSystemRefused tells that an EPERM or EACCES came from the file system, the
/// process being allowed the change (its owner, or privileged).
void noteMetadataFailure(MetadataOutcome* outcome, int kind, int code, int fileSystemRefused);
/// One item of the entry's extended attributes read into value (its length, or -1),
/// and written.
ssize_t readTargetItem(const MetadataTarget& target, const char* name, void* value, size_t size);
int writeTargetItem(const MetadataTarget& target, const char* name, const void* value, size_t size);
