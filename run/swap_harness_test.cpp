// The swap harness: random runs of the model test while every folder they may touch is
// swapped, again and again, for a link to a canary tree beside the trees and back.
// After each run the canary and the source are as they were, every destination file
// is the source's or the old one (or moved into the backup folder's run folder), and a
// run without swaps makes the exact mirror.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "base/backup_tag.h"
#include "run/end_to_end_fixture.h"
#include "run/folder_swaps.h"
#include "run/mirror_model.h"

namespace {
// 1980 and 2045: canaries of destination folders are older than any file of the trees,
// those of source folders newer, so that a run reaching them through a link acts.
constexpr int64_t oldCanaryUnits = 119599264000000000LL;
constexpr int64_t newCanaryUnits = 140113152000000000LL;
const std::string separator(1, pathSeparator);
const std::string insideBackup = separator + "#backup";  // no generated name holds a '#'

// One seed's run and what it started from.
struct SwapCase {
  Scenario scenario;
  std::string folder, source, destination, backup;
  std::vector<std::string> options;
  std::vector<std::string> relative;    ///< by slot: its path below its root
  std::set<std::string> changed;        ///< relative paths the model says the run changes
  long long copies = 0, deletions = 0;  ///< what the model says the run does
  ModelTree sourceBefore, destinationBefore, canaryBefore;
};

// Files by the platform's matching of names.
std::map<std::string, const ModelFile*> byForm(const ModelTree& tree) {
  std::map<std::string, const ModelFile*> files;
  for (const auto& file : tree.files) files[matchForm(file.first)] = &file.second;
  return files;
}

void addSlot(SwapCase* c, SwapBoard* board, const std::string& path, int kind, bool named,
             const std::string& relative, const std::vector<const ModelTree*>& trees,
             int64_t time) {
  writeCanary(joinPath(board->canaries, std::to_string(board->slots.size())), trees, relative,
              time);
  ASSERT_TRUE(addSwapSlot(board, path, kind, named));
  c->relative.push_back(relative);
}

// Every folder the run may touch: the destination's at every depth (those it makes
// too), the source's, the backup folder and its run's folder, the log's folder.
void addSlots(SwapCase* c, SwapBoard* board) {
  const ModelTree *destination = &c->scenario.destination, *source = &c->scenario.source;
  addSlot(c, board, c->destination, destinationRootSwap, true, "", {destination, source},
          oldCanaryUnits);
  std::map<std::string, std::string> folders;  // by match form, the destination's spelling
  for (const ModelTree* tree : {source, destination})
    for (const std::string& folder : tree->folders) folders[matchForm(folder)] = folder;
  for (const auto& folder : folders) {
    // The kinds of depths 1 to 3 follow the root's: the depth is the kind.
    int depth =
        static_cast<int>(std::count(folder.second.begin(), folder.second.end(), pathSeparator));
    addSlot(c, board, c->destination + folder.second, destinationRootSwap + depth, false,
            folder.second, {destination, source}, oldCanaryUnits);
  }
  addSlot(c, board, c->source, sourceFolderSwap, true, "", {source}, newCanaryUnits);
  for (const std::string& folder : source->folders)
    addSlot(c, board, c->source + folder, sourceFolderSwap, false, folder, {source},
            newCanaryUnits);
  if (c->scenario.backup) {
    // Empty but for their marker: a move refuses to replace a file of the same name.
    addSlot(c, board, c->backup, backupFolderSwap, true, "", {}, oldCanaryUnits);
    addSlot(c, board, "", backupRunSwap, true, "", {}, oldCanaryUnits);
    board->backupFolder = c->backup;
  }
  if (c->scenario.log)
    addSlot(c, board, joinPath(c->folder, "logs"), logFolderSwap, true, "", {}, oldCanaryUnits);
}

// The run's options: the seed's filters and -v, every change let through, a backup
// folder (inside or beside the destination) and a log for about half the seeds and
// always when that is the kind swapped by plan, and 1 to 4 workers.
void drawOptions(SwapCase* c, std::mt19937_64* random, int kind) {
  Scenario& s = c->scenario;
  s.preview = s.logInDestination = false;
  s.allowEmptySource = true;
  s.maxDeletions = -1;
  s.backup = kind == backupFolderSwap || kind == backupRunSwap || (*random)() % 2;
  bool inside = s.destination.rootExists && (*random)() % 2;
  c->backup = inside ? c->destination + insideBackup : joinPath(c->folder, "versions");
  s.log = kind == logFolderSwap || (*random)() % 2;
  std::string exclude = joinPath(c->folder, "exclude.txt"),
              include = joinPath(c->folder, "include.txt");
  ASSERT_TRUE(writePatternFiles(s, exclude, include));
  if (s.verbose) c->options.push_back("-v");
  for (const std::string& option : filterOptions(s, exclude, include)) c->options.push_back(option);
  c->options.push_back("--allow-empty-source");
  if ((*random)() % 4 == 0) c->options.push_back("--no-sync");
  c->options.push_back("--workers=" + std::to_string(1 + (*random)() % 4));
  if (s.backup) c->options.push_back("--backup-dir=" + c->backup);
  if (s.log) c->options.push_back("--log=" + joinPath(joinPath(c->folder, "logs"), "run.log"));
}

// The seed's planned swap: a folder of its kind (one the run changes something below
// where there is one) out at one moment of the run and back at a later one.
void drawPlan(SwapCase* c, SwapBoard* board, std::mt19937_64* random, int kind) {
  std::vector<int> candidates, changing;
  for (int turn = 0; turn < swapKinds && candidates.empty(); ++turn, kind = (kind + 1) % swapKinds)
    for (size_t slot = 0; slot < board->slots.size(); ++slot) {
      if (board->slots[slot].kind != kind) continue;
      candidates.push_back(static_cast<int>(slot));
      std::string below = c->relative[slot] + separator;
      auto next = c->changed.lower_bound(below);
      if (next != c->changed.end() && next->compare(0, below.size(), below) == 0)
        changing.push_back(static_cast<int>(slot));
    }
  const std::vector<int>& from = changing.empty() ? candidates : changing;
  SwapPlan& plan = board->plan;
  plan.slot = from[(*random)() % from.size()];
  // Copies and deletions are counted; a moment the run will not reach is not drawn.
  int out = static_cast<int>((*random)() % atNever);
  if (out == atPlaced && c->copies == 0) out = atUpdates;
  if (out == atDeletionTried && c->deletions == 0) out = atDeletions;
  plan.outAt = out;
  plan.backAt = out + 1 + static_cast<int>((*random)() % (atNever - out));
  plan.outCount = out == atPlaced ? 1 + static_cast<long long>((*random)() % c->copies) : 1;
  if (out == atDeletionTried)
    plan.outCount = 1 + static_cast<long long>((*random)() % c->deletions);
  plan.backCount = plan.backAt == atPlaced || plan.backAt == atDeletionTried
                       ? 1 + static_cast<long long>((*random)() % 3)
                       : 1;
}

// The seed's trees, canaries, options and swaps, in a folder of its own.
void prepare(uint64_t seed, const std::string& folder, SwapCase* c, SwapBoard* board) {
  board->seed = seed;
  c->scenario = generateScenario(seed);
  c->folder = folder;
  c->source = joinPath(c->folder, "src");
  c->destination = joinPath(c->folder, "dst");
  board->canaries = joinPath(folder, "canary");
  board->spares = joinPath(folder, "spares");
  std::mt19937_64 random(seed);
  int kind = static_cast<int>((seed - 1) % swapKinds);
  ASSERT_TRUE(makeFolders(joinPath(c->folder, "logs")) && makeFolders(board->spares));
  drawOptions(c, &random, kind);
  writeTree(c->source, c->scenario.source);
  writeTree(c->destination, c->scenario.destination);
  if (testing::Test::HasFatalFailure()) return;
  c->sourceBefore = readTree(c->source);
  c->destinationBefore = readTree(c->destination);
  Prediction p = predictRun(c->scenario, c->source, c->destination);
  for (const std::string& change : treeChanges(c->destinationBefore, p.after)) {
    c->changed.insert(change.substr(change.find(pathSeparator)));
    c->deletions += change.compare(0, 8, "removed ") == 0;
  }
  c->copies = static_cast<long long>(p.logUpdates.size() + p.logCopies.size());
  addSlots(c, board);
  if (testing::Test::HasFatalFailure()) return;
  c->canaryBefore = readTree(board->canaries);
  drawPlan(c, board, &random, kind);
}

// What a destination file is that is neither the source's nor the old one.
std::string strayFile(const SwapBoard& board, const std::string& path, const ModelFile& file,
                      SwapTally* tally) {
  int kind = file.bytes.compare(0, 7, "canary ") == 0 ? canaryKind(board, file.bytes) : -1;
  if (kind >= 0) {
    ++tally->canaryRead[kind];
    return "destination file " + path + " holds the bytes of the canary file " +
           file.bytes.substr(7) + " (the " + swapKindNames[kind] + " swapped)";
  }
  ++tally->otherStray;
  bool partial = path.find(".talven-partial") != std::string::npos;
  return "destination file " + path + " is neither the source's nor the old one (" +
         std::to_string(file.bytes.size()) + " bytes" + (partial ? ", a partial file left)" : ")");
}

// The four safety checks of a swapped run, which ended with status; every folder is
// back in place.
std::vector<std::string> check(const SwapCase& c, const SwapBoard& board, int status,
                               SwapTally* tally) {
  std::vector<std::string> problems;
  for (const std::string& change : treeChanges(c.canaryBefore, readTree(board.canaries))) {
    std::string path = board.canaries + change.substr(change.find(pathSeparator));
    int kind = std::max(0, canaryKind(board, path));
    ++tally->canaryChanged[kind];
    problems.push_back("canary: " + change.substr(0, change.find(pathSeparator)) + path + " (the " +
                       swapKindNames[kind] + " swapped)");
  }
  for (const std::string& change : treeChanges(c.sourceBefore, readTree(c.source)))
    problems.push_back("source: " + change);
  std::map<std::string, const ModelFile*> source = byForm(c.sourceBefore),
                                          old = byForm(c.destinationBefore);
  auto isOld = [&](const std::string& path, const ModelFile& file) {
    auto found = old.find(matchForm(path));
    return found != old.end() && found->second->bytes == file.bytes &&
           found->second->time == file.time;
  };
  // A copy may carry the time the listing saw, not the source's now: bytes decide.
  for (const auto& file : withoutFolder(readTree(c.destination), insideBackup).files) {
    auto copied = source.find(matchForm(file.first));
    bool sourceBytes = copied != source.end() && copied->second->bytes == file.second.bytes;
    if (sourceBytes || isOld(file.first, file.second)) continue;
    // A copy whose folder was swapped away when it was to take its place fails, and
    // its own file may stay where it cannot be reached: under its partial name, which
    // no run takes for current and the next run deletes, and only in a run that told
    // a failure.
    bool partial = file.first.find(".talven-partial") != std::string::npos;
    if (partial && status != 0 && file.second.bytes.compare(0, 7, "canary ") != 0) {
      ++tally->partialsLeft;
      continue;
    }
    problems.push_back(strayFile(board, file.first, file.second, tally));
  }
  // The backup folder holds its tag and run folders, each file an old one at its path.
  if (c.scenario.backup)
    for (const auto& file : readTree(c.backup).files) {
      // The tag at its top is the run's own mark of a backup folder.
      if (file.first == std::string(1, pathSeparator) + backupTagName &&
          file.second.bytes == backupTagText)
        continue;
      size_t at = file.first.find(pathSeparator, 1);
      if (at == std::string::npos || !isOld(file.first.substr(at), file.second))
        problems.push_back("backup folder file that is no old destination file: " + file.first);
    }
  return problems;
}

// What went wrong after a swapped run, and how it was run.
std::string described(const SwapCase& c, const SwapBoard& board,
                      const std::vector<std::string>& problems) {
  std::string text = std::to_string(problems.size()) + " problems after the swapped run:";
  for (size_t i = 0; i < problems.size() && i < 12; ++i) text += "\n  " + problems[i];
  if (problems.size() > 12) text += "\n  ... " + std::to_string(problems.size() - 12) + " more";
  text += "\nOptions:";
  for (const std::string& option : c.options) text += " [" + option + "]";
  const SwapPlan& plan = board.plan;
  const SwapSlot& slot = board.slots[static_cast<size_t>(plan.slot)];
  return text + "\nPlanned swap: the " + swapKindNames[slot.kind] + " " + slot.path + ", out at " +
         swapMomentNames[plan.outAt] + " #" + std::to_string(plan.outCount) + ", back at " +
         swapMomentNames[plan.backAt] + " #" + std::to_string(plan.backCount) +
         (board.planHit ? "" : " (never swapped)");
}

class SwapHarness : public InProcessMirrorTest, public testing::WithParamInterface<uint64_t> {
 protected:
  // A run without swaps makes the exact mirror, with nothing left to fail.
  void runFinal(const SwapCase& c) {
    Scenario last = c.scenario;
    last.destination = withoutFolder(readTree(c.destination), insideBackup);
    Prediction p = predictRun(last, c.source, c.destination);
    seams = noRunSeams;
    std::string output, errors;
    EXPECT_EQ(0, runHere(c.options, &output, &errors)) << output << errors;
    expectSameTree(p.after, withoutFolder(readTree(c.destination), insideBackup),
                   "destination after a run without swaps");
  }

  void runSeed(uint64_t seed, SwapTally* tally) {
    SwapCase c;
    SwapBoard board;
    prepare(seed, at({std::to_string(seed)}), &c, &board);
    if (testing::Test::HasFatalFailure()) return;
    destination = c.destination;
    source = c.source;
    hookSwapSeams(&board, &seams);
    startSwaps(&board);
    std::string output, errors;
    int status = runHere(c.options, &output, &errors);
    tally->exchanges += stopSwaps(&board);
    int kind = board.slots[static_cast<size_t>(board.plan.slot)].kind;
    ++tally->runs, ++tally->planned[kind], tally->hit[kind] += board.planHit;
    std::vector<std::string> problems = check(c, board, status, tally);
    // The run's output for the first few failed seeds only: the log stays readable.
    if (!problems.empty() && ++tally->failedSeeds > 3) output = errors = "(left out)\n";
    if (!problems.empty())
      ADD_FAILURE() << described(c, board, problems) << "\nExit status " << status << ", output:\n"
                    << output << errors;
    runFinal(c);
    removeFolderTree(c.folder);
  }

  void runSeeds(uint64_t first, uint64_t last);
};

// TALVEN_SWAP_SEEDS="17,42" replays those seeds alone, in the case whose range holds them;
// with TALVEN_SWAPS=planned, each meets the same swaps each time.
void SwapHarness::runSeeds(uint64_t first, uint64_t last) {
  std::string probe = at({"probe"}), link = at({"probe link"});
  ASSERT_TRUE(makeFolders(probe));
  if (!makeSymlink(probe, link))
    GTEST_SKIP() << "no link to a folder can be made here, and the harness swaps folders for "
                    "links (under Wine, CreateSymbolicLinkW makes none)";
  if (!exchangePaths(probe, link) || !exchangePaths(probe, link))
    GTEST_SKIP() << "a folder and a link cannot exchange names in one step here";
  std::vector<uint64_t> seeds;
  const char* wanted = getenv("TALVEN_SWAP_SEEDS");
  for (const char* at = wanted; at && *at;) {
    char* end;
    seeds.push_back(strtoull(at, &end, 10));
    if (end == at) break;  // not a number: stop rather than loop
    at = *end ? end + 1 : end;
  }
  if (!wanted)
    for (uint64_t seed = first; seed <= last; ++seed) seeds.push_back(seed);
  SwapTally tally;
  for (uint64_t seed : seeds) {
    if (seed < first || seed > last) continue;
    SCOPED_TRACE("seed " + std::to_string(seed) +
                 " (replay with TALVEN_SWAP_SEEDS=" + std::to_string(seed) + ")");
    runSeed(seed, &tally);
  }
  printSwapTally(tally, ("seeds " + std::to_string(first) + "-" + std::to_string(last)).c_str());
  int planned = 0, hit = 0;
  for (int kind = 0; kind < swapKinds; ++kind)
    planned += tally.planned[kind], hit += tally.hit[kind];
  if (swapsEnabled()) {
    EXPECT_GE(hit * 2, planned) << "planned swaps that never happened";
  }
}

// Four cases of 50 seeds each, which ctest runs side by side.
TEST_P(SwapHarness, FiftySeeds) {
  runSeeds(1 + 50 * GetParam(), 50 + 50 * GetParam());
}
INSTANTIATE_TEST_SUITE_P(Swapped, SwapHarness, testing::Range<uint64_t>(0, 4));
}  // namespace
