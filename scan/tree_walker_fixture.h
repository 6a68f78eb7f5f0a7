// What the tree walker tests share: a scratch tree and a record of every callback.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "scan/tree_walker.h"

/// One call of the entry callback.
struct WalkReport {
  std::string directory;
  std::string name;
  uint64_t size;
  FileTime time;
  int32_t flags;
};

/// Every callback of the walk under way, in order; the callback has no context.
inline std::vector<WalkReport> walkReports;
/// Every entry the walk left out, as directory plus name.
inline std::vector<std::string> walkSkips;
/// Every folder the filters left out, as directory plus name.
inline std::vector<std::string> walkExclusions;

/// The entry callback that fills walkReports.
inline int recordWalkReport(const char* directory, const char* name, uint32_t sizeLow,
                            uint32_t sizeHigh, int32_t flags, uint32_t timeLow, uint32_t timeHigh) {
  walkReports.push_back(WalkReport{directory, name,
                                   (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow,
                                   FileTime{timeLow, timeHigh}, flags});
  return 0;
}

/// The skip callback that fills walkSkips.
inline void recordWalkSkip(const char* directory, const char* name, const char*) {
  walkSkips.push_back(std::string(directory) + name);
}

/// The excluded-folder callback that fills walkExclusions.
inline void recordWalkExclusion(const char* directory, const char* name) {
  walkExclusions.push_back(std::string(directory) + name);
}

class TreeWalkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    walkReports.clear();
    walkSkips.clear();
    root = makeScratchFolder();
    ASSERT_FALSE(root.empty());
  }
  void TearDown() override {
    delete lastWalker;
    removeScratchFolder(root);
  }

  /// The platform path of a path below root written with '/'.
  std::string at(const std::string& relative) const {
    std::string path = relative;
    std::replace(path.begin(), path.end(), '/', pathSeparator);
    return joinPath(root, path);
  }
  /// Writes a file below root, with its folders.
  void file(const std::string& relative, const std::string& bytes = "x") const {
    ASSERT_TRUE(writeFileBytes(at(relative), bytes)) << relative;
  }
  /// Makes a folder below root, with its parents.
  void folder(const std::string& relative) const {
    ASSERT_TRUE(makeFolders(at(relative))) << relative;
  }

  /// Walks start (root when empty) with a fresh walker, kept in lastWalker; returns
  /// what was reported, as paths below root written with '/'.
  std::vector<std::string> walkTree(const std::string& start = std::string(), int recurse = 1) {
    walkReports.clear();
    walkSkips.clear();
    walkExclusions.clear();
    delete lastWalker;
    lastWalker = new TreeWalker(recordWalkReport);
    lastWalker->skipCallback = recordWalkSkip;
    lastWalker->filters = filters;
    lastWalker->walkExcluded = walkExcluded;
    lastWalker->excludedCallback = recordWalkExclusion;
    lastWalker->seams = ScanSeams{keyPolled, nullptr, nullptr};
    lastWalker->setOptions(recurse);
    EXPECT_EQ(0, lastWalker->walk(start.empty() ? root.c_str() : start.c_str()));
    std::vector<std::string> paths;
    for (const WalkReport& report : walkReports) paths.push_back(below(report));
    return paths;
  }

  /// The path below root, written with '/', of a report (marked when outside root).
  std::string below(const WalkReport& report) const {
    std::string full = report.directory + report.name;
    if (full.compare(0, root.size() + 1, root + pathSeparator) != 0) return "OUTSIDE:" + full;
    full = full.substr(root.size() + 1);
    std::replace(full.begin(), full.end(), pathSeparator, '/');
    return full;
  }

  std::string root;
  TreeWalker* lastWalker = nullptr;
  /// Handed to the walkers of walkTree.
  const FilterSet* filters = nullptr;
  int walkExcluded = 0;
  /// The walker's seam at each look at the keyboard inside a large listing.
  void (*keyPolled)(void* context) = nullptr;
};

/// The names sorted, for comparing sets of reports.
inline std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}
