// Randomized end-to-end test: generated tree pairs, a model's prediction of every line
// and every resulting file, and the real program run against it.
#include "run/mirror_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>

#include "base/settings.h"
#include "platform/test_support.h"
#include "run/end_to_end_fixture.h"
namespace {
// The kinds of reconciliation lines, in the order they must come.
enum LineKind { summaryLine, updateLine, copyLine, deleteLine, nothingLine, lineKinds };

// The reconciliation's lines of a console output or a log body, sorted per kind, and
// the kinds in the order they came.
struct SeenLines {
  std::vector<std::string> byKind[lineKinds];
  std::vector<int> order;
  std::vector<std::string> unknown;  ///< log lines that are neither frame nor body
  std::vector<std::string> moves;    ///< moves into the backup folder, sorted
};

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void note(SeenLines* seen, int kind, const std::string& line) {
  seen->byKind[kind].push_back(line);
  seen->order.push_back(kind);
}

SeenLines consoleLines(const std::string& output) {
  SeenLines seen;
  for (const std::string& line : splitLines(output)) {
    if (startsWith(line, "We have ")) note(&seen, summaryLine, line);
    if (startsWith(line, "Newer file found ")) note(&seen, updateLine, line);
    if (startsWith(line, "We need to copy ")) note(&seen, copyLine, line);
    if (startsWith(line, "We need to delete ")) note(&seen, deleteLine, line);
    if (line == "Nothing to do, folders are equal !") note(&seen, nothingLine, line);
    if (startsWith(line, "Moving [")) seen.moves.push_back(line);
  }
  for (auto& lines : seen.byKind) std::sort(lines.begin(), lines.end());
  std::sort(seen.moves.begin(), seen.moves.end());
  return seen;
}

// The body of a log that holds one run: every line but the blank ones and the header.
SeenLines logLines(const std::string& text) {
  SeenLines seen;
  int headers = 0;
  for (const std::string& line : splitLines(text)) {
    if (line.empty()) continue;
    if (startsWith(line, "TALVEN "))
      ++headers;
    else if (startsWith(line, "Updated "))
      note(&seen, updateLine, line);
    else if (startsWith(line, "Got "))
      note(&seen, copyLine, line);
    else if (startsWith(line, "Deleted "))
      note(&seen, deleteLine, line);
    else if (line == "Nothing to do, folders are equal.")
      note(&seen, nothingLine, line);
    else if (startsWith(line, "Moved "))
      seen.moves.push_back(line);
    else
      seen.unknown.push_back(line);
  }
  if (headers != 1) seen.unknown.push_back("header lines: " + std::to_string(headers));
  for (auto& lines : seen.byKind) std::sort(lines.begin(), lines.end());
  std::sort(seen.moves.begin(), seen.moves.end());
  return seen;
}

void expectKindsInOrder(const SeenLines& seen, const char* where) {
  EXPECT_TRUE(std::is_sorted(seen.order.begin(), seen.order.end()))
      << where << ": updates, copies and deletions out of order";
}

}  // namespace

bool writePatternFiles(const Scenario& scenario, const std::string& excludeFile,
                       const std::string& includeFile) {
  for (bool include : {false, true}) {
    std::string lines = "# patterns of the model test\n\n";
    for (const ModelPattern& pattern : scenario.patterns)
      if (pattern.include == include && pattern.given == givenInFile) lines += pattern.text + "\n";
    if (!writeFileBytes(include ? includeFile : excludeFile, lines)) return false;
  }
  return true;
}

std::vector<std::string> filterOptions(const Scenario& scenario, const std::string& excludeFile,
                                       const std::string& includeFile) {
  std::vector<std::string> options;
  bool fromFile[2] = {false, false};
  for (const ModelPattern& pattern : scenario.patterns) {
    std::string option = pattern.include ? "--include" : "--exclude";
    if (pattern.given == givenInFile) fromFile[pattern.include] = true;
    if (pattern.given == givenWithEquals) options.push_back(option + "=" + pattern.text);
    if (pattern.given == givenApart) options.insert(options.end(), {option, pattern.text});
  }
  if (fromFile[0]) options.push_back("--exclude-from=" + excludeFile);
  if (fromFile[1]) options.insert(options.end(), {"--include-from", includeFile});
  if (scenario.deleteExcluded) options.push_back("--delete-excluded");
  return options;
}

namespace {
// The folders of one seed's run, all inside one scratch folder.
struct Roots {
  std::string scratch, source, destination, work, backup;
};

// The folders of one seed's runs in its scratch folder.
Roots rootsIn(const std::string& scratch) {
  return Roots{scratch, joinPath(scratch, "src"), joinPath(scratch, "dst"),
               joinPath(scratch, "work"), joinPath(scratch, "versions")};
}

// One run of talven: exit status, console output (its summary line taken out) and
// the log it left.
struct RunResult {
  int status;
  std::string output;
  ModelCounts counts;  ///< the summary line's
  std::string json;    ///< with --json: standard output
  bool logExists;
  std::string log;
  /// With --backup-dir: the run's folder there (the output and log name it as
  /// backupRunMark), or no root where the run made none.
  ModelTree moved;
};

void replaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
}

void noteFolderName(void* context, const char* name, int isDirectory, uint64_t, FileTime) {
  if (isDirectory == 1 && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
    static_cast<std::vector<std::string>*>(context)->push_back(name);
}

// Reads the run's folder of the backup folder, which held none before the run.
void readBackupRun(const Roots& roots, RunResult* result) {
  result->moved.rootExists = false;
  std::vector<std::string> runs;
  enumerateDirectory(roots.backup.c_str(), noteFolderName, &runs);
  std::string folder;
  if (!runs.empty()) {
    EXPECT_EQ(1u, runs.size()) << "folders of one run in the backup folder";
    folder = joinPath(roots.backup, runs[0]);
    result->moved = readTree(folder);
  } else {
    // A preview names the folder it would make, on the console or in the log.
    std::string start = roots.backup + pathSeparator;
    for (const std::string* text : {&result->output, &result->log}) {
      size_t at = text->find(start);
      if (at == std::string::npos) continue;
      folder = text->substr(at, text->find(pathSeparator, at + start.size()) - at);
      break;
    }
    if (folder.empty()) return;
  }
  replaceAll(&result->output, folder, backupRunMark);
  replaceAll(&result->log, folder, backupRunMark);
}

// The pattern files of a scenario: one for excludes, one for includes.
std::string patternFile(const Roots& roots, bool include) {
  return joinPath(roots.scratch, include ? "include.txt" : "exclude.txt");
}

std::vector<std::string> optionsOf(const Roots& roots, const Scenario& scenario) {
  std::vector<std::string> options;
  if (scenario.verbose) options.push_back("-v");
  if (scenario.log) options.push_back("-l");
  if (scenario.preview) options.push_back("-p");
  for (const std::string& option :
       filterOptions(scenario, patternFile(roots, false), patternFile(roots, true)))
    options.push_back(option);
  if (scenario.allowEmptySource) options.push_back("--allow-empty-source");
  std::string cap = std::to_string(scenario.maxDeletions);
  if (scenario.maxDeletions >= 0 && scenario.capApart) options.push_back("--max-delete");
  if (scenario.maxDeletions >= 0)
    options.push_back(scenario.capApart ? cap : "--max-delete=" + cap);
  if (scenario.backup) options.push_back("--backup-dir=" + roots.backup);
  return options;
}

// Every run prints its summary (--stats), which is checked and taken out of its
// output. With json, standard output carries the JSON objects, and output is what
// went to standard error, which is then what standard output holds otherwise.
RunResult runTalven(const Roots& roots, const Scenario& scenario, const char* workers = nullptr,
                    bool json = false) {
  const std::string& workingFolder = scenario.logInDestination ? roots.destination : roots.work;
  std::string logPath = joinPath(workingFolder, logFileName);
  std::remove(logPath.c_str());  // one run per log: its body is this run's alone
  std::vector<std::string> arguments = {roots.destination, roots.source};
  for (const std::string& option : optionsOf(roots, scenario)) arguments.push_back(option);
  if (workers) arguments.push_back(workers);
  arguments.push_back("--stats");
  if (json) arguments.push_back("--json");
  // One run per backup folder: what is there is this run's alone.
  EXPECT_TRUE(!pathExists(roots.backup) || removeFolderTree(roots.backup));
  RunResult result;
  if (json)
    result.status =
        runProgramWithErrors(arguments, workingFolder, joinPath(roots.scratch, "errors.txt"),
                             &result.json, &result.output);
  else
    result.status = runProgram(arguments, workingFolder, &result.output);
  takeSummaryLine(&result.output, &result.counts);
  result.logExists = readFileBytes(logPath, &result.log);
  readBackupRun(roots, &result);
  return result;
}

void checkLines(const Prediction& p, const Scenario& scenario, const RunResult& run) {
  SeenLines console = consoleLines(run.output);
  EXPECT_EQ(p.summary, console.byKind[summaryLine]);
  EXPECT_EQ(p.updates, console.byKind[updateLine]);
  EXPECT_EQ(p.copies, console.byKind[copyLine]);
  EXPECT_EQ(p.deletions, console.byKind[deleteLine]);
  EXPECT_EQ(p.nothingToDo ? 1u : 0u, console.byKind[nothingLine].size()) << "console";
  EXPECT_EQ(p.moves, console.moves);
  expectKindsInOrder(console, "console");
  size_t stops = 0;
  for (const std::string& line : splitLines(run.output))
    stops += startsWith(line, "The source folder [") || startsWith(line, "The run would delete ");
  EXPECT_EQ(p.stopLine.empty() ? 0u : 1u, stops) << "stop lines";
  if (!p.stopLine.empty()) {
    EXPECT_EQ(p.stopLine, splitLines(run.output).back());
  }
  EXPECT_EQ(scenario.log, run.logExists) << "log file";
  if (!scenario.log || !run.logExists) return;
  SeenLines log = logLines(run.log);
  EXPECT_EQ(p.logUpdates, log.byKind[updateLine]);
  EXPECT_EQ(p.logCopies, log.byKind[copyLine]);
  EXPECT_EQ(p.logDeletions, log.byKind[deleteLine]);
  EXPECT_EQ(p.nothingToDo ? 1u : 0u, log.byKind[nothingLine].size()) << "log";
  EXPECT_EQ(p.logMoves, log.moves);
  EXPECT_TRUE(log.unknown.empty()) << "unexpected log line: " << log.unknown.front();
  expectKindsInOrder(log, "log");
}

// With --backup-dir, each file the destination had is at its place as it was, or in
// the run's folder of the backup folder as it was.
void expectNothingLost(const ModelTree& before, const ModelTree& after, const ModelTree& moved) {
  std::map<std::string, const ModelFile*> now, away;
  for (const auto& file : after.files) now[matchForm(file.first)] = &file.second;
  for (const auto& file : moved.files) away[matchForm(file.first)] = &file.second;
  for (const auto& file : before.files) {
    auto same = [&](const std::map<std::string, const ModelFile*>& tree) {
      auto found = tree.find(matchForm(file.first));
      return found != tree.end() && found->second->bytes == file.second.bytes &&
             found->second->time == file.second.time;
    };
    EXPECT_TRUE(same(now) || same(away)) << "lost: " << file.first;
  }
}

void runSeed(uint64_t seed, const Roots& roots) {
  Scenario scenario = generateScenario(seed);
  writeTree(roots.source, scenario.source);
  writeTree(roots.destination, scenario.destination);
  ASSERT_TRUE(makeFolders(roots.work));
  ASSERT_TRUE(writePatternFiles(scenario, patternFile(roots, false), patternFile(roots, true)));
  if (testing::Test::HasFatalFailure()) return;
  ModelTree sourceBefore = readTree(roots.source);
  ModelTree destinationBefore = readTree(roots.destination);
  expectSameTree(scenario.destination, destinationBefore, "destination as generated");
  Prediction p = predictRun(scenario, roots.source, roots.destination);
  ModelCounts previewed;
  bool previewedRun = scenario.preview;
  if (scenario.preview) {
    RunResult preview = runTalven(roots, scenario);
    previewed = preview.counts;
    EXPECT_EQ(p.exitStatus, preview.status) << preview.output;
    checkLines(p, scenario, preview);
    expectSameTree(destinationBefore, readTree(roots.destination), "destination after -p");
    EXPECT_FALSE(pathExists(roots.backup)) << "a preview made the backup folder";
    scenario.preview = false;
  }
  RunResult first = runTalven(roots, scenario);
  EXPECT_EQ(p.exitStatus, first.status) << first.output;
  checkLines(p, scenario, first);
  expectSameTree(p.after, readTree(roots.destination), "destination");
  // The summary counts what the trees show; a preview counted what the run then did.
  ModelCounts counted =
      expectedCounts(scenario, p, destinationBefore, readTree(roots.destination), first.moved);
  EXPECT_EQ(counted.kind, first.counts.kind);
  expectSameCounts(counted, first.counts, "summary");
  if (previewedRun && p.stopLine.empty()) {
    EXPECT_EQ("Preview", previewed.kind);
    expectSameCounts(first.counts, previewed, "preview's summary");
  }
  expectSameTree(sourceBefore, readTree(roots.source), "source");
  expectSameTree(p.moved, first.moved, "backup folder");
  if (scenario.backup)
    expectNothingLost(destinationBefore, readTree(roots.destination), first.moved);
  if (!p.stopLine.empty()) {
    // Nothing was lost; the run the user then allows, without the nets, mirrors.
    scenario.allowEmptySource = true;
    scenario.maxDeletions = -1;
    p = predictRun(scenario, roots.source, roots.destination);
    ModelTree before = readTree(roots.destination);
    first = runTalven(roots, scenario);
    EXPECT_EQ(p.exitStatus, first.status) << first.output;
    checkLines(p, scenario, first);
    expectSameTree(p.after, readTree(roots.destination), "destination allowed");
    counted = expectedCounts(scenario, p, before, readTree(roots.destination), first.moved);
    expectSameCounts(counted, first.counts, "summary allowed");
    expectSameTree(p.moved, first.moved, "backup folder allowed");
  }
  ModelTree mirrored = readTree(roots.destination);
  // The same run with copies written one after another, and with more workers than
  // processors: every byte printed and logged, the status, the counts and the tree
  // are the same. The second tells its outcomes as JSON, read back to the same counts.
  for (const char* workers : {"--workers=1", "--workers=4"}) {
    SCOPED_TRACE(workers);
    ASSERT_TRUE(!pathExists(roots.destination) || removeFolderTree(roots.destination));
    writeTree(roots.destination, scenario.destination);
    bool json = strcmp(workers, "--workers=4") == 0;
    RunResult again = runTalven(roots, scenario, workers, json);
    EXPECT_EQ(first.status, again.status);
    expectSameCounts(first.counts, again.counts, "summary");
    ModelCounts told;
    int toldStatus = -1;
    if (json && readJsonCounts(again.json, &told, &toldStatus)) {
      EXPECT_EQ(counted.kind, told.kind);
      expectSameCounts(counted, told, "end object");
      EXPECT_EQ(first.status, toldStatus);
    }
    EXPECT_EQ(withListingLinesSorted(first.output), withListingLinesSorted(again.output));
    EXPECT_EQ(first.logExists, again.logExists);
    EXPECT_EQ(first.log, again.log);
    expectSameTree(mirrored, readTree(roots.destination), "destination");
    expectSameTree(first.moved, again.moved, "backup folder");
  }
  // A mirror is its own fixed point: a second run finds nothing to do.
  Scenario again = scenario;
  again.destination = mirrored;
  again.verbose = true;
  Prediction nothing = predictRun(again, roots.source, roots.destination);
  ASSERT_TRUE(nothing.nothingToDo);
  RunResult second = runTalven(roots, again);
  EXPECT_EQ(0, second.status) << second.output;
  checkLines(nothing, again, second);
  expectSameTree(mirrored, readTree(roots.destination), "destination after a second run");
  expectSameCounts(expectedCounts(again, nothing, mirrored, mirrored, second.moved), second.counts,
                   "second run's summary");
  if (!testing::Test::HasFailure()) return;
  printf("Output of the first run:\n%s\nIts filters:", first.output.c_str());
  for (const std::string& option : optionsOf(roots, scenario)) printf(" [%s]", option.c_str());
  printf("\n");
}

// TALVEN_SEEDS="17,42" replays those seeds alone ("1-5000" runs a range); otherwise a fixed list
// and a few seeds from the clock, which are printed so that a failure can be replayed.
std::vector<uint64_t> chosenSeeds() {
  std::vector<uint64_t> seeds;
  const char* wanted = getenv("TALVEN_SEEDS");
  for (const char* at = wanted; at && *at;) {
    char* end;
    uint64_t first = strtoull(at, &end, 10), last = first;
    if (end == at) break;                                 // not a number: stop rather than loop
    if (*end == '-') last = strtoull(end + 1, &end, 10);  // a range, for long soaks
    for (uint64_t seed = first; seed <= last; ++seed) seeds.push_back(seed);
    at = *end ? end + 1 : end;
  }
  if (!seeds.empty()) return seeds;
  // Every process start costs several times more under Wine: fewer seeds there.
  int fixed = platformIsWindows ? 40 : 200, fresh = platformIsWindows ? 2 : 4;
  for (int seed = 1; seed <= fixed; ++seed) seeds.push_back(seed);
  uint64_t clock = std::chrono::system_clock::now().time_since_epoch().count();
  printf("Model test seeds 1..%d and", fixed);
  for (int i = 0; i < fresh; ++i) {
    uint64_t seed = (clock * 6364136223846793005ull + i * 1442695040888963407ull) >> 20;
    seeds.push_back(seed);
    printf(" %llu", static_cast<unsigned long long>(seed));
  }
  printf(" (replay with TALVEN_SEEDS=n,m)\n");
  return seeds;
}
}  // namespace

// An exact mirror of a generated pair: every source file whose twin differs in time
// (either way) or size, or that has none, is copied; every source folder is there,
// and no other; with --backup-dir nothing the destination had is lost. A second run
// finds nothing to do.
void runExactSeed(uint64_t seed, const Roots& roots) {
  Scenario scenario = generateScenario(seed);
  writeTree(roots.source, scenario.source);
  writeTree(roots.destination, scenario.destination);
  ModelTree before = readTree(roots.destination);
  ModelTree wanted = readTree(roots.source);
  wanted.rootExists = true;
  for (auto& file : wanted.files) {
    auto twin = before.files.find(file.first);
    if (twin != before.files.end() && twin->second.time == file.second.time &&
        twin->second.bytes.size() == file.second.bytes.size())
      file.second = twin->second;  // time and size agree: never read again
  }
  std::vector<std::string> arguments = {roots.destination, roots.source, "--exact", "--no-sync",
                                        "--allow-empty-source"};
  if (scenario.backup) arguments.push_back("--backup-dir=" + roots.backup);
  std::string output;
  EXPECT_EQ(0, runProgram(arguments, roots.scratch, &output)) << output;
  ModelTree after = readTree(roots.destination);
  expectSameTree(wanted, after, "exact destination");
  // A folder twin keeps the destination's letter case where names fold, as always.
  std::set<std::string> wantedFolders, folders;
  for (const std::string& folder : wanted.folders) wantedFolders.insert(matchForm(folder));
  for (const std::string& folder : after.folders) folders.insert(matchForm(folder));
  EXPECT_EQ(wantedFolders, folders) << output;
  if (scenario.backup) {
    ModelTree moved = pathExists(roots.backup) ? readTree(roots.backup) : ModelTree();
    ModelTree below;  // the run's folder's content, by the path in the destination
    for (const auto& file : moved.files) {
      size_t at = file.first.find(pathSeparator, 1);
      if (at != std::string::npos) below.files[file.first.substr(at)] = file.second;
    }
    expectNothingLost(before, after, below);
  }
  EXPECT_EQ(0, runProgram({roots.destination, roots.source, "--exact", "--no-sync"}, roots.scratch,
                          &output));
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !")) << output;
}

TEST(MirrorModel, ExactMirrorsOfGeneratedTreesHoldTheSourcesFilesAndFolders) {
  int failedSeeds = 0;
  int seeds = platformIsWindows ? 20 : 100;
  for (uint64_t seed = 1; seed <= static_cast<uint64_t>(seeds) && failedSeeds < 3; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    bool failedBefore = testing::Test::HasFailure();
    Roots roots = rootsIn(makeScratchFolder());
    ASSERT_FALSE(roots.scratch.empty());
    runExactSeed(seed, roots);
    removeScratchFolder(roots.scratch);
    failedSeeds += !failedBefore && testing::Test::HasFailure();
  }
  EXPECT_EQ(0, failedSeeds);
}

TEST(MirrorModel, GeneratedTreesAreMirroredAsPredicted) {
  const testing::TestResult* result =
      testing::UnitTest::GetInstance()->current_test_info()->result();
  int failedSeeds = 0;
  for (uint64_t seed : chosenSeeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed) +
                 " (replay with TALVEN_SEEDS=" + std::to_string(seed) + ")");
    int partsBefore = result->total_part_count();
    Roots roots = rootsIn(makeScratchFolder());
    ASSERT_FALSE(roots.scratch.empty());
    runSeed(seed, roots);
    removeScratchFolder(roots.scratch);
    if (result->total_part_count() != partsBefore && ++failedSeeds == 3) break;
  }
  EXPECT_EQ(0, failedSeeds);
}
