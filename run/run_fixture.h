// What the end-to-end tests share: a scratch folder holding a source and a
// destination tree, the program run inside it, and snapshots of trees.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/test_support.h"

/// The banner's first line starts with this.
constexpr const char* bannerStart = "Talven Package v0.61";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    source = joinPath(scratch, "src");
    destination = joinPath(scratch, "dst");
    ASSERT_TRUE(writeFileBytes(joinPath(source, "new.txt"), "fresh"));
    ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "sub"), "deep.txt"), "deep"));
    ASSERT_TRUE(writeFileBytes(joinPath(destination, "stale.txt"), "only in the destination"));
  }
  void TearDown() override { removeScratchFolder(scratch); }

  /// Runs talven in the scratch folder; keeps its output in output.
  int run(const std::vector<std::string>& arguments) {
    return runProgram(arguments, scratch, &output);
  }

  /// Every file below root with its contents.
  static std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const std::string& relative : listFiles(root)) {
      std::string bytes;
      EXPECT_TRUE(readFileBytes(joinPath(root, relative), &bytes)) << relative;
      files[relative] = bytes;
    }
    return files;
  }

  /// The lines of the output, each without its line end.
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < output.size()) {
      size_t end = output.find('\n', start);
      if (end == std::string::npos) end = output.size();
      std::string line = output.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();  // text mode on Windows
      result.push_back(line);
      start = end + 1;
    }
    return result;
  }

  /// The run line as the program prints it.
  static std::string runLine(const std::string& from, const std::string& to) {
    return "Mirroring source [" + from + "] to destination folder [" + to + "]";
  }

  /// True when the output holds line as a whole line.
  bool printed(const std::string& line) const {
    for (const std::string& each : lines())
      if (each == line) return true;
    return false;
  }

  std::string scratch;
  std::string source;
  std::string destination;
  std::string output;
};
