// What the tests of the pattern matcher share: a set compiled from patterns, and the
// verdict on a path judged as the walk judges it, folder by folder from the root.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/filter.h"

/// Compiles excludes and includes; fails the test when a pattern is refused.
inline FilterSet makeSet(const std::vector<std::string>& excludes,
                         const std::vector<std::string>& includes = {}, int foldCase = 0) {
  FilterSet set;
  for (const std::string& text : excludes) set.sources.push_back({text, filterExclude, ""});
  for (const std::string& text : includes) set.sources.push_back({text, filterInclude, ""});
  int32_t failed = -1;
  EXPECT_EQ(filterCompiled, compileFilterSet(&set, foldCase, &failed)) << failed;
  return set;
}

/// Whether a path ("a/b/c", a folder when it ends in /) is mirrored: every folder on
/// its way must be walked, and the path itself left in.
inline bool mirrored(const FilterSet& set, std::string path) {
  bool isFolder = !path.empty() && path.back() == '/';
  if (isFolder) path.pop_back();
  FilterWalk walk;
  if (beginFilterWalk(&walk, &set)) return false;
  FilterFolder folder = {0, 0, 0};
  bool in = true;
  for (size_t at = 0; in;) {
    size_t end = path.find('/', at);
    bool last = end == std::string::npos;
    if (last) end = path.size();
    int verdict = filterVerdict(&walk, folder, path.c_str() + at, end - at, !last || isFolder);
    in = verdict != filterLeftOut;
    if (last) break;
    FilterFolder child;
    EXPECT_EQ(0, enterFilterFolder(&walk, folder, path.c_str() + at, end - at, verdict, &child));
    folder = child;
    at = end + 1;
  }
  endFilterWalk(&walk);
  return in;
}
