// The --json stream's objects for what a run does: one per action once its outcome
// is known, and one per entry a listing had to leave out. Each is printed by the
// thread that decides (or reports) the action, in the order the run tells it; the
// start and end objects belong to the run itself (run/json_run.h). The manual page
// holds the schema.
#pragma once

#include <cstdint>

struct RunSettings;

/// The version of the objects' schema, told in the start object.
constexpr int jsonSchemaVersion = 1;

/// Kinds of action objects: "link" for a link made (an exact mirror's links and other
/// names of one file); "meta", the name the schema reserved for it, for a twin whose
/// metadata alone was changed.
constexpr const char* jsonCopy = "copy";
constexpr const char* jsonUpdate = "update";
constexpr const char* jsonDelete = "delete";
constexpr const char* jsonMove = "move";
constexpr const char* jsonMkdir = "mkdir";
constexpr const char* jsonLink = "link";
constexpr const char* jsonMetadata = "meta";

/// Outcomes of action objects.
constexpr const char* jsonDone = "done";
constexpr const char* jsonFailed = "failed";
constexpr const char* jsonVanished = "vanished";
constexpr const char* jsonPreviewed = "previewed";
constexpr const char* jsonStopped = "stopped";

/// One action whose outcome is known.
struct JsonAction {
  const char* kind;
  /// Below the destination's root, beginning with a separator (the tables' form).
  const char* path;
  const char* outcome;
  int64_t size = -1;  ///< the listed size, or -1 where none is told
  /// A failure: what could not be done ("read the source file"), and why: a code of
  /// lastFailureCode or an OwnFailure, or reason, the program's own words.
  const char* failedTo = nullptr;
  int failure = 0;
  const char* reason = nullptr;
  const char* to = nullptr;  ///< a move: the path it went to
  int replaced = 0;          ///< a move: the file an update replaced
  int folder = 0;            ///< a delete: an empty folder that gave way to a copy
  int inPlace = 0;           ///< a failed copy whose bytes took the destination's name
};

/// Prints the object of action where settings ask for --json; nothing otherwise.
void jsonAction(const RunSettings& settings, const JsonAction& action);

/// Prints the object of an entry the listing of tree ("destination" or "source") left
/// out: path below its root (beginning with a separator, or empty for the root), and
/// the walk's reason. Nothing without --json.
void jsonUnlisted(const RunSettings& settings, const char* tree, const char* path,
                  const char* reason);
