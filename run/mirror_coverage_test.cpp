// What the model test's seeds throw at the program: every kind of case it promises
// must come up often within the fixed seeds.
#include <gtest/gtest.h>

#include "run/mirror_model.h"

namespace {
// Lower-case ASCII form, to find names that differ only in A-Z case on any platform.
std::string asciiLower(const std::string& text) {
  std::string lower = text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

// What the seeds of one test run throw at the program, counted per kind of case.
struct Coverage {
  int sameTreeTwins = 0, twinsSpelledApart = 0, highBytes = 0, emptyFiles = 0, bufferSized = 0;
  int emptyFolders = 0, destinationOnlyFolders = 0, missingRoots = 0;
  int older = 0, equal = 0, equalTimeOtherSize = 0, newer = 0, lowHalfSign = 0;
  int verbose = 0, log = 0, preview = 0, logInDestination = 0;
  int emptySourceStops = 0, capStops = 0, capsNotReached = 0, emptySourcesAllowed = 0;
  int threeByteCharacters = 0, surrogatePairs = 0, longNames = 0;  // names on Windows
  // Filters: of each shape, together, given each way, and leaving out what is there.
  int unanchored = 0, anchored = 0, foldersOnly = 0, anyFolders = 0, wildcards = 0;
  int includesWithExcludes = 0, deleteExcluded = 0, patternFiles = 0, givenApart = 0;
  int sourceFilesLeftOut = 0, destinationFilesLeftOut = 0, foldersLeftOut = 0, mirroredBeside = 0;
};

// Characters of three UTF-8 bytes (one UTF-16 unit, CJK among them) and of four (a
// surrogate pair), and names longer than 200 bytes, in one path.
void countUnicode(const std::string& path, Coverage* coverage) {
  size_t nameStart = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == pathSeparator) {
      if (i - nameStart > 200) ++coverage->longNames;
      nameStart = i + 1;
      continue;
    }
    unsigned char b = static_cast<unsigned char>(path[i]);
    if ((b & 0xF0) == 0xE0) ++coverage->threeByteCharacters;
    if ((b & 0xF8) == 0xF0) ++coverage->surrogatePairs;
  }
}

void countFiles(const ModelTree& tree, Coverage* coverage) {
  std::set<std::string> lowered;
  for (const auto& file : tree.files) {
    if (!lowered.insert(asciiLower(file.first)).second) ++coverage->sameTreeTwins;
    for (char c : file.first)
      if (static_cast<unsigned char>(c) >= 128) ++coverage->highBytes;
    countUnicode(file.first, coverage);
    if (file.second.bytes.empty()) ++coverage->emptyFiles;
    if (file.second.bytes.size() == 32768) ++coverage->bufferSized;
  }
  std::set<std::string> filled;
  for (const auto& file : tree.files) addAncestors(file.first, &filled);
  for (const std::string& folder : tree.folders)
    if (!filled.count(folder)) ++coverage->emptyFolders;
}

void countPairs(const Scenario& scenario, Coverage* coverage) {
  std::map<std::string, std::pair<std::string, const ModelFile*>> sources;
  for (const auto& file : scenario.source.files)
    sources[matchForm(file.first)] = {file.first, &file.second};
  for (const auto& file : scenario.destination.files) {
    auto twin = sources.find(matchForm(file.first));
    if (twin == sources.end()) continue;
    if (twin->second.first != file.first) ++coverage->twinsSpelledApart;
    int64_t source = twin->second.second->time, destination = file.second.time;
    if (destination < source) ++coverage->older;
    if (destination > source) ++coverage->newer;
    if (destination == source)
      ++(file.second.bytes.size() == twin->second.second->bytes.size()
             ? coverage->equal
             : coverage->equalTimeOtherSize);
    if ((source & 0xFFFFFFFF) == 0x80000000 && (destination & 0xFFFFFFFF) == 0x7FFFFFFF)
      ++coverage->lowHalfSign;
  }
  std::set<std::string> sourceFolders;
  for (const std::string& folder : scenario.source.folders) sourceFolders.insert(matchForm(folder));
  for (const std::string& folder : scenario.destination.folders)
    if (!sourceFolders.count(matchForm(folder))) ++coverage->destinationOnlyFolders;
}
void countFilters(const Scenario& scenario, Coverage* coverage) {
  bool excludes = false, includes = false;
  for (const ModelPattern& pattern : scenario.patterns) {
    const std::string& text = pattern.text;
    bool separated = text.find_first_of(platformIsWindows ? "/\\" : "/") < text.size() - 1;
    coverage->unanchored += !separated;
    coverage->anchored += text[0] == '/' || text[0] == '\\';
    coverage->foldersOnly += text.back() == '/' || text.back() == '\\';
    coverage->anyFolders += text.find("**") != std::string::npos;
    coverage->wildcards += text.find_first_of("*?[") != std::string::npos;
    coverage->patternFiles += pattern.given == givenInFile;
    coverage->givenApart += pattern.given == givenApart;
    (pattern.include ? includes : excludes) = true;
  }
  coverage->includesWithExcludes += includes && excludes;
  coverage->deleteExcluded += scenario.deleteExcluded && !scenario.patterns.empty();
  int in = 0, out = 0;
  for (const ModelTree* tree : {&scenario.source, &scenario.destination}) {
    for (const auto& file : tree->files) {
      bool leftOut = modelLeftOut(scenario.patterns, file.first, false);
      in += !leftOut;
      out += leftOut;
      if (leftOut)
        ++(tree == &scenario.source ? coverage->sourceFilesLeftOut
                                    : coverage->destinationFilesLeftOut);
    }
    for (const std::string& folder : tree->folders)
      coverage->foldersLeftOut += modelLeftOut(scenario.patterns, folder, true);
  }
  coverage->mirroredBeside += in > 0 && out > 0;
}
}  // namespace

// The model test is only as good as the cases its seeds make: every promised kind must
// come up often within the fixed seeds, and a seed must always make the same trees.
TEST(MirrorModelGenerator, FixedSeedsCoverEveryKindOfCase) {
  Coverage coverage;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    Scenario scenario = generateScenario(seed);
    countFiles(scenario.source, &coverage);
    countFiles(scenario.destination, &coverage);
    countPairs(scenario, &coverage);
    countFilters(scenario, &coverage);
    coverage.missingRoots += !scenario.destination.rootExists;
    coverage.verbose += scenario.verbose;
    coverage.log += scenario.log;
    coverage.preview += scenario.preview;
    coverage.logInDestination += scenario.logInDestination;
    Prediction p = predictRun(scenario, "src", "dst");
    bool emptySourceStop = p.stopLine.find("holds no file") != std::string::npos;
    coverage.emptySourceStops += emptySourceStop;
    coverage.capStops += !p.stopLine.empty() && !emptySourceStop;
    coverage.capsNotReached +=
        scenario.maxDeletions >= 0 && p.stopLine.empty() && !p.logDeletions.empty();
    coverage.emptySourcesAllowed += scenario.source.files.empty() && scenario.allowEmptySource &&
                                    !p.logDeletions.empty() && p.stopLine.empty();
    EXPECT_LE(scenario.source.files.size(), 30u);
    EXPECT_LE(scenario.destination.files.size(), 30u);
  }
  // Windows file names are blind to case: there the twins differ between the trees.
  if (platformIsWindows) {
    EXPECT_EQ(0, coverage.sameTreeTwins);
    EXPECT_GE(coverage.twinsSpelledApart, 5);
    EXPECT_GE(coverage.threeByteCharacters, 5);
    EXPECT_GE(coverage.surrogatePairs, 5);
    EXPECT_GE(coverage.longNames, 5);
  } else {
    EXPECT_GE(coverage.sameTreeTwins, 5);
  }
  const std::pair<const char*, int> counts[] = {
      {"names with bytes of 128 and above", coverage.highBytes},
      {"empty files", coverage.emptyFiles},
      {"files of 32768 bytes", coverage.bufferSized},
      {"empty folders", coverage.emptyFolders},
      {"destination-only folders", coverage.destinationOnlyFolders},
      {"missing destination roots", coverage.missingRoots},
      {"older destination twins", coverage.older},
      {"equal twins", coverage.equal},
      {"equal times, other sizes", coverage.equalTimeOtherSize},
      {"newer destination twins", coverage.newer},
      {"low halves 0x7FFFFFFF and 0x80000000", coverage.lowHalfSign},
      {"runs with -v", coverage.verbose},
      {"runs with -l", coverage.log},
      {"runs with -p", coverage.preview},
      {"runs with the log inside the destination", coverage.logInDestination},
      {"runs stopped by an empty source", coverage.emptySourceStops},
      {"runs stopped by the deletion cap", coverage.capStops},
      {"runs that delete under a cap not reached", coverage.capsNotReached},
      {"empty sources allowed to empty the destination", coverage.emptySourcesAllowed},
      {"patterns matching a name at any depth", coverage.unanchored},
      {"anchored patterns", coverage.anchored},
      {"patterns for folders only", coverage.foldersOnly},
      {"patterns with **", coverage.anyFolders},
      {"patterns with *, ? or a class", coverage.wildcards},
      {"includes and excludes together", coverage.includesWithExcludes},
      {"runs with --delete-excluded", coverage.deleteExcluded},
      {"patterns read from a file", coverage.patternFiles},
      {"patterns given apart from their option", coverage.givenApart},
      {"source files left out", coverage.sourceFilesLeftOut},
      {"destination files left out", coverage.destinationFilesLeftOut},
      {"folders left out", coverage.foldersLeftOut},
      {"runs leaving some files out and mirroring others", coverage.mirroredBeside}};
  for (const auto& count : counts) EXPECT_GE(count.second, 5) << count.first;
  Scenario first = generateScenario(77), again = generateScenario(77);
  EXPECT_EQ(first.source.folders, again.source.folders);
  ASSERT_EQ(first.destination.files.size(), again.destination.files.size());
  for (const auto& file : first.destination.files)
    EXPECT_EQ(file.second.bytes, again.destination.files[file.first].bytes);
}
