// The whole program on real trees: what the passes print, log and change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect/path_key.h"
#include "platform/test_support.h"

namespace {
// 2024-01-01 plus a remainder that a seconds- or microseconds-only time would lose.
constexpr int64_t baseTime = 133485408000000000LL + 1234567;

FileTime timeAt(int64_t units) {
  return FileTime{static_cast<uint32_t>(units), static_cast<uint32_t>(units >> 32)};
}

int64_t lastWrite(const std::string& path) {
  FileTimes times = {};
  return readFileTimes(path, &times) ? times.lastWrite : -1;
}

std::string contentOf(const std::string& path) {
  std::string bytes;
  return readFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

// The log is text in the platform's own line ends, CRLF on Windows; this gives it
// with plain line ends, after checking that every line there ended in CRLF.
std::string logTextOf(const std::string& path) {
  std::string text = contentOf(path);
  if (!platformIsWindows) return text;
  std::string plain;
  size_t lineEnds = 0, textLineEnds = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') ++lineEnds;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      ++textLineEnds;
      continue;
    }
    plain += text[i];
  }
  EXPECT_EQ(lineEnds, textLineEnds) << "a log line did not end in CRLF";
  return plain;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Reconcile : public testing::Test {
 protected:
  void SetUp() override {
    buildPathKeyTable();
    scratch = makeScratchFolder();
    ASSERT_FALSE(scratch.empty());
    source = joinPath(scratch, "src");
    destination = joinPath(scratch, "dst");
    ASSERT_TRUE(makeFolders(source));
    ASSERT_TRUE(makeFolders(destination));
  }
  void TearDown() override { removeScratchFolder(scratch); }

  // Writes a file below root (a relative path with '/') with the given time.
  void put(const std::string& root, const std::string& relative, const std::string& bytes,
           int64_t time) {
    std::string path = at(root, relative);
    ASSERT_TRUE(writeFileBytes(path, bytes)) << path;
    ASSERT_EQ(0, setFileTimes(path.c_str(), timeAt(time))) << path;
  }
  std::string at(const std::string& root, const std::string& relative) const {
    return joinPath(root, shown(relative));
  }
  // The relative path as the program prints it.
  static std::string shown(const std::string& relative) {
    std::string text;
    for (char c : relative) text += c == '/' ? pathSeparator : c;
    return text;
  }
  int run(std::vector<std::string> options, std::string* output) {
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return runProgram(arguments, scratch, output);
  }
  std::string log() const { return logTextOf(joinPath(scratch, ".mirror_log")); }
  bool removeLog() const { return deleteFile(joinPath(scratch, ".mirror_log").c_str()) == 0; }

  std::string scratch, source, destination;
};
}  // namespace

TEST_F(Reconcile, EmptyTreesAreEqual) {
  std::string output;
  EXPECT_EQ(0, run({"-v", "-l"}, &output));
  EXPECT_TRUE(contains(output, "We have 0 destination and 0 source indexes\n")) << output;
  EXPECT_TRUE(contains(output, "Nothing to do, folders are equal !\n")) << output;
  EXPECT_TRUE(contains(log(), "Nothing to do, folders are equal.\n")) << log();
}

TEST_F(Reconcile, UpdatesCopiesAndDeletesThenRestsEqual) {
  put(source, "newer.txt", "new content", baseTime + 10);
  put(destination, "newer.txt", "old", baseTime);
  put(source, "docs/missing.txt", "copied", baseTime + 5);
  put(destination, "extra.txt", "gone", baseTime);
  put(source, "same.txt", "source side", baseTime);
  put(destination, "same.txt", "destination keeps this", baseTime);
  put(source, "older.txt", "source older", baseTime);
  put(destination, "older.txt", "destination newer", baseTime + 1);
  put(source, "empty", "", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-v", "-l"}, &output)) << output;

  EXPECT_TRUE(contains(output, "Newer file found " + shown("/newer.txt") + ", updating!\n"));
  EXPECT_TRUE(contains(output, "We need to copy " + source + shown("/docs/missing.txt") + "\n"));
  EXPECT_TRUE(contains(output, "We need to delete " + destination + shown("/extra.txt") + "\n"));
  EXPECT_FALSE(contains(output, "Nothing to do")) << output;
  EXPECT_TRUE(contains(log(), "Updated " + shown("/newer.txt") + "\t11\n")) << log();
  EXPECT_TRUE(contains(log(), "Got " + shown("/docs/missing.txt") + "\t6\n")) << log();
  EXPECT_TRUE(contains(log(), "Got " + shown("/empty") + "\t0\n")) << log();
  EXPECT_TRUE(contains(log(), "Deleted " + shown("/extra.txt") + "\n")) << log();

  EXPECT_EQ("new content", contentOf(at(destination, "newer.txt")));
  EXPECT_EQ(baseTime + 10, lastWrite(at(destination, "newer.txt")));
  EXPECT_EQ("copied", contentOf(at(destination, "docs/missing.txt")));
  EXPECT_EQ(baseTime + 5, lastWrite(at(destination, "docs/missing.txt")));
  EXPECT_EQ("", contentOf(at(destination, "empty")));
  EXPECT_FALSE(pathExists(at(destination, "extra.txt")));
  EXPECT_EQ("destination keeps this", contentOf(at(destination, "same.txt")));
  EXPECT_EQ("destination newer", contentOf(at(destination, "older.txt")));

  EXPECT_EQ(0, run({"-v"}, &output));
  EXPECT_TRUE(contains(output, "Nothing to do, folders are equal !\n")) << output;
  EXPECT_FALSE(contains(output, "We need to")) << output;
}

TEST_F(Reconcile, PreviewReportsTheSameAndChangesNothing) {
  put(source, "a.txt", "new", baseTime + 1);
  put(destination, "a.txt", "old", baseTime);
  put(source, "dir/b.txt", "b", baseTime);
  put(destination, "c.txt", "c", baseTime);
  std::string preview, previewLog, real;
  ASSERT_EQ(0, run({"-v", "-l", "-p"}, &preview));
  previewLog = log();
  ASSERT_TRUE(removeLog());
  EXPECT_EQ("old", contentOf(at(destination, "a.txt")));
  EXPECT_FALSE(pathExists(at(destination, "dir")));
  EXPECT_EQ("c", contentOf(at(destination, "c.txt")));
  EXPECT_FALSE(contains(preview, "Nothing to do"));
  ASSERT_EQ(0, run({"-v", "-l"}, &real));
  EXPECT_EQ(previewLog, log());
  for (const char* line : {"Newer file found", "We need to copy", "We need to delete"})
    EXPECT_EQ(contains(preview, line), contains(real, line)) << line;
}

TEST_F(Reconcile, LogWithoutVerboseKeepsTheConsoleQuiet) {
  put(source, "a.txt", "a", baseTime);
  put(destination, "b.txt", "b", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-l"}, &output));
  EXPECT_FALSE(contains(output, "We need to")) << output;
  EXPECT_FALSE(contains(output, "We have")) << output;
  EXPECT_TRUE(contains(log(), "Got " + shown("/a.txt") + "\t1\n")) << log();
  EXPECT_TRUE(contains(log(), "Deleted " + shown("/b.txt") + "\n")) << log();
}

TEST_F(Reconcile, LowHalvesCompareUnsigned) {
  int64_t high = static_cast<int64_t>(0x01DA0000) << 32;
  put(source, "t.txt", "source", high | 0x80000000LL);
  put(destination, "t.txt", "destination", high | 0x7FFFFFFFLL);
  std::string output;
  ASSERT_EQ(0, run({"-v"}, &output));
  EXPECT_TRUE(contains(output, "Newer file found")) << output;
  EXPECT_EQ("source", contentOf(at(destination, "t.txt")));
}

TEST_F(Reconcile, LetterCaseFollowsThePlatform) {
  put(source, "docs/a.txt", "source", baseTime + 1);
  put(destination, "DOCS/A.TXT", "destination", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-v"}, &output));
  if (platformIsWindows) {
    // One file under two spellings: an update that keeps the destination's name.
    EXPECT_TRUE(contains(output, "Newer file found " + shown("/docs/a.txt"))) << output;
    EXPECT_FALSE(contains(output, "We need to delete")) << output;
    EXPECT_EQ("source", contentOf(at(destination, "DOCS/A.TXT")));
  } else {
    // Two files that only look alike: the source's is copied, the other one goes.
    EXPECT_EQ("source", contentOf(at(destination, "docs/a.txt")));
    EXPECT_FALSE(pathExists(at(destination, "DOCS/A.TXT")));
  }
}

TEST_F(Reconcile, LettersBeyondAsciiFoldOnWindowsOnly) {
  // A with diaeresis in upper and lower case: Latin-1 bytes on POSIX, UTF-8 on Windows.
  put(source, platformIsWindows ? "x\xC3\x84.txt" : "x\xC4.txt", "upper", baseTime);
  put(destination, platformIsWindows ? "x\xC3\xA4.txt" : "x\xE4.txt", "lower", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-v"}, &output));
  // Two names on POSIX; on Windows one, as NTFS takes it, and equal times.
  EXPECT_EQ(!platformIsWindows, contains(output, "We need to copy")) << output;
  EXPECT_EQ(!platformIsWindows, contains(output, "We need to delete")) << output;
  EXPECT_EQ(platformIsWindows, contains(output, "Nothing to do, folders are equal !")) << output;
}

TEST_F(Reconcile, LogInsideTheDestinationSurvivesItsRun) {
  put(destination, "old.txt", "old", baseTime);
  std::string output;
  // The source holds no file: its emptying the destination is asked for.
  ASSERT_EQ(0, runProgram({".", source, "-l", "-v", "--allow-empty-source"}, destination, &output))
      << output;
  EXPECT_FALSE(pathExists(at(destination, "old.txt")));
  std::string logText = logTextOf(at(destination, ".mirror_log"));
  EXPECT_TRUE(contains(logText, "Deleted " + shown("/old.txt") + "\n")) << logText;
  EXPECT_FALSE(contains(output, shown("/.mirror_log"))) << output;
  // A second run lists the log too, and must keep it again.
  ASSERT_EQ(0, runProgram({".", source, "-l"}, destination, &output)) << output;
  EXPECT_TRUE(pathExists(at(destination, ".mirror_log")));
}

namespace {
// Appends four bytes to prefix so that the path's key becomes target. The key is
// a CRC's running value, so the last four bytes can steer it anywhere; prefixes are
// tried until the four bytes are plain, unfolded name characters.
std::string pathWithKey(const std::string& prefix, PathKey target) {
  const std::string allowed = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_-+=!#$%&'()@^{}~,;[] ";
  for (int attempt = 0; attempt < 100000; ++attempt) {
    std::string start = prefix + std::to_string(attempt) + "_";
    uint32_t state = computePathKey(start.data(), start.size());
    uint32_t indexes[4];
    uint32_t back = target;
    for (int k = 3; k >= 0; --k) {
      for (uint32_t i = 0; i < 256; ++i)
        if ((pathKeyTable[i] >> 24) == (back >> 24)) indexes[k] = i;
      back = (back ^ pathKeyTable[indexes[k]]) << 8;
    }
    std::string tail;
    for (int k = 0; k < 4; ++k) {
      tail += static_cast<char>((state ^ indexes[k]) & 0xFF);
      state = (state >> 8) ^ pathKeyTable[indexes[k]];
    }
    if (tail.find_first_not_of(allowed) == std::string::npos) return start + tail;
  }
  return std::string();
}
}  // namespace

TEST_F(Reconcile, EqualKeysWithOtherPathsAreNoTwins) {
  std::string twin = shown("/target.txt");
  std::string impostor = pathWithKey(shown("/col"), computePathKey(twin.data(), twin.size()));
  ASSERT_FALSE(impostor.empty());
  ASSERT_EQ(computePathKey(twin.data(), twin.size()),
            computePathKey(impostor.data(), impostor.size()));
  put(source, "target.txt", "source", baseTime);
  put(destination, "target.txt", "destination", baseTime);
  put(destination, impostor.substr(1), "impostor", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-v"}, &output));
  EXPECT_FALSE(contains(output, "We need to copy")) << output;
  EXPECT_TRUE(contains(output, "We need to delete " + destination + impostor + "\n")) << output;
  EXPECT_EQ("destination", contentOf(at(destination, "target.txt")));
}

TEST_F(Reconcile, OwnKeyOfAllOnesIsNotTheHandledMark) {
  std::string name = pathWithKey(shown("/ones"), 0xFFFFFFFFu);
  ASSERT_FALSE(name.empty());
  ASSERT_EQ(0xFFFFFFFFu, computePathKey(name.data(), name.size()));
  std::string emptyName = pathWithKey(shown("/zero"), 0xFFFFFFFFu);
  put(source, name.substr(1), "kept", baseTime);
  put(destination, name.substr(1), "kept", baseTime);
  put(source, emptyName.substr(1), "", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-v"}, &output));
  // The empty one has no twin and must be copied, not passed over as handled.
  EXPECT_TRUE(contains(output, "We need to copy " + source + emptyName + "\n")) << output;
  EXPECT_TRUE(pathExists(at(destination, emptyName.substr(1))));
  EXPECT_EQ("kept", contentOf(at(destination, name.substr(1))));
  EXPECT_EQ(0, run({"-v"}, &output));
  EXPECT_TRUE(contains(output, "Nothing to do, folders are equal !\n")) << output;
}

TEST_F(Reconcile, TwinSpelledWithOtherCapitalsIsUpdatedInPlace) {
  if (!platformIsWindows)
    GTEST_SKIP() << "only Windows file systems fold letters beyond A-Z into one file";
  // E acute in upper and lower case: twins for the matching, one file on disk.
  put(source, "\xC3\x89t\xC3\xA9.txt", "source", baseTime + 1);
  put(destination, "\xC3\xA9t\xC3\xA9.txt", "destination", baseTime);
  std::string output;
  ASSERT_EQ(0, run({"-v"}, &output)) << output;
  EXPECT_TRUE(contains(output, "Newer file found")) << output;
  EXPECT_FALSE(contains(output, "We need to delete")) << output;
  std::vector<std::string> files = listFiles(destination);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ("source", contentOf(joinPath(destination, files[0])));
}
