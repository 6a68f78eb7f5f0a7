// An exact mirror (--exact, --preserve): links as links, names of one file as names of
// one file, every folder with its time, and versions older than their twins. What the
// passes of reconcile/ ask of it, and the state it keeps for one run of them. Nothing
// outside reconcile/ includes this.
#pragma once

#include <cstdint>

struct Passes;
struct TwinIndex;

/// Kinds of metadata, as bits of MetadataPart (platform/metadata.h) count them.
constexpr int metadataKindCount = 5;

/// A folder whose metadata is set at the end with its time: a new one (every kind),
/// or a twin whose kinds differ.
struct DueFolder {
  int32_t entry;  ///< the source folder
  int32_t twin;   ///< its destination twin, or -1 for a new folder
  int32_t kinds;  ///< MetadataPart bits to set
};

/// What an exact mirror keeps for one run of the passes. Only the run's parts fill it:
/// the default run leaves it empty.
struct ExactState {
  /// The source's files of more than one name, as positions in sourceTable.linkedNames,
  /// sorted by identity, then by table order: each run of one identity is a group,
  /// whose first name (its leader) is copied and the others linked to it.
  int32_t* groups;
  int32_t groupCount;
  /// By position in sourceTable.linkedNames: the group's leader (an entry), the
  /// destination twin (or -1), and what this run does with the name (a NameState).
  int32_t* leaderOf;
  int32_t* twinOf;
  uint8_t* state;
  /// Source entries, sorted, whose twins share one file with a twin of a source entry
  /// that is no name of theirs: copied anew, so that the two part.
  int32_t* parted;
  int32_t partedCount;
  /// Source entries whose place holds a folder, made once the folder is gone; and
  /// the names that could not be linked, copied instead.
  int32_t* deferred;
  int32_t deferredCount;
  int32_t deferredCapacity;
  /// Deferred entries already placed.
  int32_t deferredDone;
  /// Set once the run changed the tree: every folder's time is set again at the end.
  int32_t changed;
  /// Names of one file the destination could not take as such, copied instead.
  int32_t copiedNotLinked;
  /// Links the destination could not take at all (each a failure of its own).
  int32_t linksRefused;
  /// Folders whose twins' times differ from theirs.
  int32_t folderTimesDiffer;
  /// The kinds of metadata the run keeps (MetadataPart bits), and those the
  /// destination turned out not to hold: left out for the rest of the run.
  int32_t metadataParts;
  int32_t metadataNotHeld;
  /// Entries given without a kind the destination cannot hold, by kind (bit order).
  int32_t notHeldCount[metadataKindCount];
  /// Folders whose metadata is set at the end, in the order noted.
  DueFolder* dueFolders;
  int32_t dueCount;
  int32_t dueCapacity;
};

/// What a run does with one name of a file of many names.
enum NameState {
  nameKept = 0,       ///< its twin stays, or it is linked after the copies
  nameRewritten = 1,  ///< the copies write it
  nameWaits = 2,      ///< a folder stands at its place (or at its leader's): placed after it
  nameCopied = 3,     ///< it cannot be linked: copied instead
};

/// Readies the state from the tables (index is over destinationTable); 1 when memory
/// ran out.
int beginExact(Passes* passes, const TwinIndex& index);
void endExact(Passes* passes);

/// True when the source entry s is a name of a file whose first name is another
/// entry: it is linked to that one's copy, after the copies. Notes s's twin (or -1).
bool linksToLeader(Passes* passes, int32_t s, int32_t twin);
/// Notes what becomes of source entry s, where it is a name of a file of many names.
void noteNameState(Passes* passes, int32_t s, int state);
/// True when the twins' file must be copied anew although time and size agree.
bool mustPart(const Passes* passes, int32_t s);

/// The update pass's turn for a twin the default run does not take: a link, a folder,
/// or twins of different kinds. True when it dealt with them.
bool exactTwin(Passes* passes, int32_t s, int32_t d);
/// The copy pass's turn for a source entry without a twin that is a link or a folder.
/// True when it dealt with it.
bool exactCopy(Passes* passes, int32_t s);

/// File or link twins that the update pass takes as equal by time and size: what of
/// their metadata differs is set and told as a change of its own. True where the
/// source changed since its twin and no metadata tells why: its data may have, with
/// its time kept, and it is copied again as an update.
bool metadataTwin(Passes* passes, int32_t s, int32_t d);
/// Source folder s, new (d -1) or the twin of folder d: its metadata is noted to be
/// set at the end (a preview tells a twin's change now).
void noteFolderMetadata(Passes* passes, int32_t s, int32_t d);
/// Counts what a copy was given without (MetadataPart bits).
void noteMetadataOutcome(Passes* passes, int notHeld, int notAllowed);

/// After the copies: every other name of a copied file linked to it; with waiting,
/// only the files one of whose names waited for a folder to go.
void linkNames(Passes* passes, int waiting);
/// After the deletions: the folders the source lacks removed, deepest first, then
/// what waited for a folder to go.
void finishTree(Passes* passes, int deletionsRan);
/// Last: every folder given its source's time (and its metadata where due).
void setFolderTimes(Passes* passes);
/// The folder s (-1: the root) at path gets its metadata where it is due; deepest
/// first, with the times.
void setFolderMetadata(Passes* passes, int32_t s, const char* path);
/// Readies the folders' metadata for the end; true when any is due (the root's too).
bool readyFolderMetadata(Passes* passes);
/// One line for each kind the destination could not hold.
void tellMetadataLeftOut(Passes* passes);
