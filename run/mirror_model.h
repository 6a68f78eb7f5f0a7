// A model of what one mirror run must do, and a generator of tree pairs to try it on.
// The model knows nothing of the program's tables, keys or passes: it matches files
// by name the way a user of the tool would, and says what the destination becomes.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

/// One file of a tree: its bytes and its last-write time in 100-ns units since 1601.
struct ModelFile {
  std::string bytes;
  int64_t time;
};

/// A tree by relative path (beginning with the separator, as the program prints it).
struct ModelTree {
  std::map<std::string, ModelFile> files;
  /// Every folder below the root, ancestors of files included.
  std::set<std::string> folders;
  /// False when the root folder itself does not exist.
  bool rootExists = true;
};

/// How the command line gives a pattern of a generated case.
enum PatternGiven { givenWithEquals = 0, givenApart = 1, givenInFile = 2 };

/// A pattern of a generated case: --exclude (or --include) PATTERN.
struct ModelPattern {
  std::string text;
  bool include = false;
  int given = givenWithEquals;  ///< a PatternGiven
};

/// A generated case: two trees and the options of the first run.
struct Scenario {
  ModelTree source;
  ModelTree destination;
  bool verbose = false;
  bool log = false;
  bool preview = false;
  /// -l run in the destination root: the open log lies inside the tree it mirrors.
  bool logInDestination = false;
  /// The filters of every run, and --delete-excluded.
  std::vector<ModelPattern> patterns;
  bool deleteExcluded = false;
  /// --allow-empty-source.
  bool allowEmptySource = false;
  /// --max-delete's N, or -1 for no cap; given as --max-delete N when capApart.
  int maxDeletions = -1;
  bool capApart = false;
  /// --backup-dir, outside both trees: what the run deletes or replaces is moved there.
  bool backup = false;
};

/// How a Prediction writes the run's folder in the backup folder, whose name the run
/// takes from its start: the test puts it in place of the folder's path.
constexpr const char* backupRunMark = "<backup run>";

/// What a run must print, log and leave.
struct Prediction {
  std::vector<std::string> summary;  ///< "We have ..." (with -v)
  std::vector<std::string> updates;  ///< console lines of updates (with -v)
  std::vector<std::string> copies;
  std::vector<std::string> deletions;
  bool nothingToDo = false;
  std::vector<std::string> logUpdates;  ///< log lines, whatever -v says
  std::vector<std::string> logCopies;
  std::vector<std::string> logDeletions;
  ModelTree after;  ///< the destination after a run that changes files
  /// With --backup-dir: the console lines of the moves (with -v), their log lines,
  /// and the run's folder in the backup folder after a run that changes files (a run
  /// that moves nothing leaves none).
  std::vector<std::string> moves;
  std::vector<std::string> logMoves;
  ModelTree moved;
  int exitStatus = 0;
  /// The line of the empty-source guard or the deletion cap when one stops the run
  /// before any change (exit 2, nothing but "We have ..." printed or logged); else empty.
  std::string stopLine;
};

/// How this platform matches names: letters A-Z folded on Windows, bytes on POSIX.
inline std::string matchForm(const std::string& path) {
  std::string form = path;
  if (platformIsWindows)
    for (char& c : form)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return form;
}

/// Every folder on the way to a file, by relative path.
inline void addAncestors(const std::string& file, std::set<std::string>* folders) {
  for (size_t at = file.find(pathSeparator, 1); at != std::string::npos;
       at = file.find(pathSeparator, at + 1))
    folders->insert(file.substr(0, at));
}

/// Predicts the run of talven on the two trees, given the roots as passed to it.
Prediction predictRun(const Scenario& scenario, const std::string& sourceRoot,
                      const std::string& destinationRoot);

/// Makes the scenario of a seed: same seed, same trees, on the same platform.
Scenario generateScenario(uint64_t seed);
/// Draws the filters of a seed for its trees (none for about half the seeds).
void drawPatterns(uint64_t seed, Scenario* scenario);
/// Whether the patterns leave the file (or folder) at path (a relative path, as the
/// trees hold them) out of the mirror.
bool modelLeftOut(const std::vector<ModelPattern>& patterns, const std::string& path,
                  bool isFolder);

/// Writes the scenario's patterns given in files: excludes to excludeFile, includes to
/// includeFile; false when one cannot be written.
bool writePatternFiles(const Scenario& scenario, const std::string& excludeFile,
                       const std::string& includeFile);
/// The options of the scenario's filters (and --delete-excluded), those given in files
/// naming the files writePatternFiles wrote.
std::vector<std::string> filterOptions(const Scenario& scenario, const std::string& excludeFile,
                                       const std::string& includeFile);
/// What a run's summary (and its --json end object) counts.
struct ModelCounts {
  std::string kind;  ///< Done, Preview or Stopped
  long long copied = 0, updated = 0, deleted = 0, moved = 0, keptNewer = 0, failed = 0,
            vanished = 0;
  std::string bytes;         ///< as the summary writes them: "4.5 MiB"
  long long byteCount = -1;  ///< the exact bytes, where known (the end object, the trees)
};

/// What a run that left destination as after, and put moved into the backup folder,
/// must count, from the trees alone: files new in the destination, files changed,
/// files gone (or, with --backup-dir, moved), destination files kept newer than
/// their source twins.
ModelCounts countsOfTrees(const Scenario& scenario, const ModelTree& before, const ModelTree& after,
                          const ModelTree& moved);
/// The counts the run of p must show: countsOfTrees, or none (Stopped) where the
/// nets stopped it.
ModelCounts expectedCounts(const Scenario& scenario, const Prediction& p, const ModelTree& before,
                           const ModelTree& after, const ModelTree& moved);
/// Reads the summary line out of a run's output and removes it from there; false
/// (with a failure) where there is none or it does not read.
bool takeSummaryLine(std::string* output, ModelCounts* counts);
/// Expects two counts to be equal (the bytes as the summary writes them; exactly
/// where both know them); what names the run.
void expectSameCounts(const ModelCounts& expected, const ModelCounts& actual, const char* what);
/// Reads the --json output of a run: every line must parse, the start first and the
/// end last; the counts of the end object (and of its action objects, which must
/// agree) into counts, the status into status. False (with a failure) otherwise.
bool readJsonCounts(const std::string& output, ModelCounts* counts, int* status);

/// Writes the tree below root with every file's time; fails the test when it cannot.
void writeTree(const std::string& root, const ModelTree& tree);
/// Reads back the tree below root: bytes and last-write time of every file, every
/// folder. A run log at the root is left out: the model test looks at it on its own.
ModelTree readTree(const std::string& root);
/// Expects two trees to be equal under this platform's name matching; what names the
/// tree in the failure messages.
void expectSameTree(const ModelTree& expected, const ModelTree& actual, const char* what);
