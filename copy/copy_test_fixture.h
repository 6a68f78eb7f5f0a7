// The scratch folder, files and time that the copier tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/run_folders.h"
#include "base/run_log.h"
#include "base/settings.h"
#include "copy/copy.h"
#include "platform/test_support.h"

// 2021-03-04 05:06:07.1234567 UTC: the last digits catch a time cut to seconds or
// microseconds anywhere on the way.
constexpr int64_t givenUnits = 132593079671234567LL;
constexpr FileTime givenTime = {static_cast<uint32_t>(givenUnits),
                                static_cast<uint32_t>(givenUnits >> 32)};
constexpr int64_t olderUnits = 130000000000000000LL;  // an earlier time, whole seconds

// Bytes that differ from block to block, so a block written twice or skipped shows.
inline std::string patternBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t at = 0; at < size; ++at) bytes[at] = static_cast<char>((at * 31 + at / 251) % 256);
  return bytes;
}

/// The seams a copy test hands to the copies it makes.
inline CopySeams& testCopySeams() {
  static CopySeams seams = noCopySeams;
  return seams;
}

/// The settings a copy test hands to the copies it makes (-v, --no-sync).
inline RunSettings& testSettings() {
  static RunSettings settings;
  return settings;
}

/// Receives the outcome of the one copy of copyBelow.
inline void keepResult(void* context, const CopyOutcome* outcome) {
  *static_cast<int*>(context) = outcome->result;
}

/// Copies as the reconciliation does, through the copy engine, into a destination
/// tree rooted at root, which destination lies below; the seams of testCopySeams.
/// Returns the copy's CopyResult, or -1 when the engine could not begin.
inline int copyBelow(const std::string& root, const std::string& destination,
                     const std::string& source, int replacesFile = 0) {
  RunSettings& settings = testSettings();
  snprintf(settings.destinationRoot, sizeof settings.destinationRoot, "%s", root.c_str());
  settings.destinationRootLength = static_cast<int32_t>(root.size());
  int result = -1;
  // The trees as a run holds them: the destination's root, and the source's folder.
  RunFolders held = noRunFolders;
  std::string sourceFolder = source.substr(0, source.find_last_of(pathSeparator));
  holdFolder(&held.destination, root.c_str());
  holdFolder(&held.source, sourceFolder.c_str());
  TreeFolders folders;
  if (openTreeFolders(&folders, &held.destination) == 0) {
    RunLog noLog = {nullptr, nullptr, 0};
    CopyEngine* engine =
        copyBegin(&settings, &held, &noLog, &folders, &testCopySeams(), keepResult, &result);
    if (engine) {
      CopyRequest request = {destination.c_str(), source.c_str(), givenTime, 0, replacesFile, 1};
      copySubmit(engine, &request);
      copyEnd(engine);
    }
    closeTreeFolders(&folders);
  }
  releaseHeldFolder(&held.source);
  releaseHeldFolder(&held.destination);
  return result;
}

class CopyFileFixture : public testing::Test {
 protected:
  void SetUp() override {
    resetRunSettings(&testSettings());
    testCopySeams() = noCopySeams;
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
  }
  void TearDown() override {
    setInterruptRequested(0);
    testCopySeams() = noCopySeams;
    resetRunSettings(&testSettings());
    removeScratchFolder(scratch);
  }
  CopySeams& seams() { return testCopySeams(); }
  // A path below the scratch folder from its components.
  std::string at(std::initializer_list<const char*> parts) const {
    std::string path = scratch;
    for (const char* part : parts) path = joinPath(path, part);
    return path;
  }
  // Writes a file and gives it a time, as a destination of an earlier run.
  void writeOldFile(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(writeFileBytes(path, bytes));
    FileTime older = {static_cast<uint32_t>(olderUnits), static_cast<uint32_t>(olderUnits >> 32)};
    ASSERT_EQ(0, setFileTimes(path.c_str(), older));
  }
  // Expects path to hold exactly bytes with the given time on every settable stamp.
  void expectCopied(const std::string& path, const std::string& bytes) {
    FileTimes times;
    ASSERT_TRUE(readFileTimes(path, &times)) << path;  // before reading moves last access
    EXPECT_EQ(givenUnits, times.lastWrite) << path;
    EXPECT_EQ(givenUnits, times.lastAccess) << path;
    if (platformIsWindows) {
      EXPECT_EQ(givenUnits, times.creation) << path;
    }
    std::string copied;
    ASSERT_TRUE(readFileBytes(path, &copied)) << path;
    EXPECT_TRUE(copied == bytes) << path << ": " << copied.size() << " of " << bytes.size();
  }
  void expectKept(const std::string& path, const std::string& bytes) {
    FileTimes times;
    ASSERT_TRUE(readFileTimes(path, &times)) << path;
    EXPECT_EQ(olderUnits, times.lastWrite) << path;
    std::string kept;
    ASSERT_TRUE(readFileBytes(path, &kept)) << path;
    EXPECT_TRUE(kept == bytes) << path;
  }
  std::string scratch;
};

/// The folder a path lies in.
inline std::string folderOf(const std::string& path) {
  size_t last = path.find_last_of(pathSeparator);
  return last == std::string::npos ? std::string(".") : path.substr(0, last);
}

/// Where the copy inside the kernel may take over: -1 (all of it, where the
/// system can) and 0 (never: the block loop alone).
constexpr long long copyPaths[] = {-1, 0};
