// What the end-to-end tests of whole runs share: a scratch folder per test, snapshots
// of trees, and the checks that a destination mirrors its source.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/settings.h"
#include "platform/platform.h"
#include "platform/test_support.h"
#include "run/run.h"
#include "run/seams.h"

// 2021-03-04 05:06:07.1234567 UTC: the last digits catch a time cut short on the way.
constexpr int64_t sourceUnits = 132593079671234567LL;
// An earlier time, for destination files a run must update.
constexpr int64_t olderUnits = 130000000000000000LL;

inline FileTime fileTimeOf(int64_t units) {
  return FileTime{static_cast<uint32_t>(units), static_cast<uint32_t>(units >> 32)};
}

/// Content and last-write time of one file of a tree.
struct FileState {
  std::string bytes;
  int64_t lastWrite;
  bool operator==(const FileState& other) const {
    return bytes == other.bytes && lastWrite == other.lastWrite;
  }
};
/// Every file of a tree by its relative path.
typedef std::map<std::string, FileState> TreeState;

/// Reads every file below root with its content and last-write time.
inline TreeState captureTree(const std::string& root) {
  TreeState tree;
  for (const std::string& relative : listFiles(root)) {
    std::string path = joinPath(root, relative);
    FileState state = {std::string(), -1};
    FileTimes times;
    if (readFileTimes(path, &times)) state.lastWrite = times.lastWrite;
    if (!readFileBytes(path, &state.bytes)) state.bytes = "<unreadable>";
    tree[relative] = state;
  }
  return tree;
}

/// Names the files on which two trees differ, for a failure message.
inline std::string treeDifference(const TreeState& expected, const TreeState& actual) {
  std::string text;
  for (const auto& entry : expected) {
    auto found = actual.find(entry.first);
    if (found == actual.end())
      text += " missing:" + entry.first;
    else if (!(found->second == entry.second))
      text += " differs:" + entry.first;
  }
  for (const auto& entry : actual)
    if (!expected.count(entry.first)) text += " extra:" + entry.first;
  return text;
}

/// Bytes that differ from block to block, so a block written twice or skipped shows.
inline std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t at = 0; at < size; ++at) {
    state = state * 1664525u + 1013904223u;
    bytes[at] = static_cast<char>(state >> 24);
  }
  return bytes;
}

/// The output with the two listing threads' start lines in one order: they tell that
/// they started in the order they happened to start. Every other line stays put.
inline std::string withListingLinesSorted(const std::string& output) {
  std::vector<std::string> lines;
  std::vector<size_t> at;
  for (size_t start = 0; start < output.size();) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    lines.push_back(output.substr(start, end - start));
    if (lines.back().compare(0, 7, "Thread ") == 0 &&
        lines.back().find(" running - listing ") != std::string::npos)
      at.push_back(lines.size() - 1);
    start = end + 1;
  }
  std::vector<std::string> listing;
  for (size_t i : at) listing.push_back(lines[i]);
  std::sort(listing.begin(), listing.end());
  for (size_t k = 0; k < at.size(); ++k) lines[at[k]] = listing[k];
  std::string joined;
  for (const std::string& line : lines) joined += line + "\n";
  return joined;
}

class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
  }
  void TearDown() override {
    for (const std::string& folder : mounted) unmountFileSystem(folder);
    for (const std::string& folder : deepTrees) removeFolderTree(folder);
    removeScratchFolder(scratch);
  }
  /// A path below the scratch folder from its components.
  std::string at(std::initializer_list<std::string> parts) const {
    std::string path = scratch;
    for (const std::string& part : parts) path = joinPath(path, part);
    return path;
  }
  /// Writes a file below the scratch folder and gives it a last-write time.
  void writeFile(const std::string& path, const std::string& bytes, int64_t units) {
    ASSERT_TRUE(writeFileBytes(path, bytes)) << path;
    ASSERT_EQ(0, setFileTimes(path.c_str(), fileTimeOf(units))) << path;
  }
  /// Runs talven with the scratch folder as the working directory.
  int run(const std::vector<std::string>& arguments, std::string* output) {
    return runProgram(arguments, scratch, output);
  }
  /// Expects destination to hold exactly what source holds, content and times.
  void expectMirror(const std::string& destination, const std::string& source) {
    TreeState wanted = captureTree(source);
    TreeState got = captureTree(destination);
    EXPECT_TRUE(wanted == got) << treeDifference(wanted, got);
  }
  /// Expects a tree to be as a snapshot showed it.
  void expectUnchanged(const TreeState& before, const std::string& root) {
    TreeState now = captureTree(root);
    EXPECT_TRUE(before == now) << root << ":" << treeDifference(before, now);
  }
  std::string scratch;
  std::vector<std::string> mounted;    ///< unmounted in TearDown, always
  std::vector<std::string> deepTrees;  ///< removed folder by folder in TearDown
};

/// A mirror of the scratch folder's src into its dst, run in the test's own process
/// so that the test seams (seams) reach it.
class InProcessMirrorTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    destination = at({"dst"});
    source = at({"src"});
    seams = noRunSeams;
    seams.copy.workersStarted = &workersStarted;
  }
  void TearDown() override { EndToEndTest::TearDown(); }
  /// Runs the program on destination and source with options; its console output
  /// goes to output, and its standard error to errors when that is not null.
  int runHere(std::vector<std::string> options, std::string* output,
              std::string* errors = nullptr) {
    std::string program = "talven";
    std::vector<char*> argv = {&program[0], &destination[0], &source[0]};
    for (std::string& option : options) argv.push_back(&option[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    if (errors) testing::internal::CaptureStderr();
    int status = runTalvenWith(static_cast<int>(argv.size() - 1), argv.data(), &seams);
    *output = testing::internal::GetCapturedStdout();
    if (errors) *errors = testing::internal::GetCapturedStderr();
    return status;
  }
  int runHere(std::string* output) { return runHere({}, output); }
  std::string destination;
  std::string source;
  RunSeams seams;
  int workersStarted = -1;  ///< the workers the last run started
};
