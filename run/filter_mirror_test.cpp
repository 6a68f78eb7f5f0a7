// Whole runs with filters: what they leave out is neither copied, updated nor deleted
// (unless --delete-excluded deletes it from the destination), its folders are named
// once with -v, and a pattern or pattern file that cannot be read stops the run
// before anything is listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/mount_support.h"
#include "run/end_to_end_fixture.h"

namespace {
size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// A path written with '/' in the platform's own form.
std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', pathSeparator);
  return path;
}

// The tree below root by paths written with '/', whatever the platform's separator.
TreeState capture(const std::string& root) {
  TreeState tree;
  for (const auto& entry : captureTree(root)) {
    std::string path = entry.first;
    std::replace(path.begin(), path.end(), pathSeparator, '/');
    tree[path] = entry.second;
  }
  return tree;
}

void expectStill(const TreeState& before, const std::string& root) {
  TreeState now = capture(root);
  EXPECT_TRUE(before == now) << root << ":" << treeDifference(before, now);
}

class FilterMirror : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    source = at({"src"});
    destination = at({"dst"});
  }
  void TearDown() override {
    unmountTestImage(&stick);
    EndToEndTest::TearDown();
  }
  // A source and a destination that both hold what a mirror should leave alone.
  void writeCommonTrees() {
    writeFile(at({"src", "docs", "a.txt"}), "a", sourceUnits);
    writeFile(at({"src", "web", "node_modules", "pkg", "index.js"}), "js", sourceUnits);
    writeFile(at({"src", "notes.tmp"}), "tmp", sourceUnits);
    writeFile(at({"src", "docs", "~$report.docx"}), "lock", sourceUnits);
    writeFile(at({"src", "photos", "Thumbs.db"}), "thumbs", sourceUnits);
    writeFile(at({"src", "build", "out.o"}), "new object", sourceUnits);
    writeFile(at({"dst", "web", "node_modules", "old", "gone.js"}), "old js", olderUnits);
    writeFile(at({"dst", "build", "out.o"}), "old object", olderUnits);
    writeFile(at({"dst", "stale.tmp"}), "stale tmp", olderUnits);
    writeFile(at({"dst", "stale.txt"}), "stale", olderUnits);
  }
  int mirror(std::vector<std::string> options, std::string* output) {
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return run(arguments, output);
  }
  std::string source, destination;
  TestMount stick = {"", "", "", false};
};

const std::vector<std::string> commonExcludes = {
    "--exclude=node_modules/", "--exclude",          "*.tmp",
    "--exclude=build/",        "--exclude=~$*.docx", "--exclude=Thumbs.db"};

std::vector<std::string> with(std::vector<std::string> options, const char* more) {
  options.push_back(more);
  return options;
}

TEST_F(FilterMirror, ExcludedPathsAreLeftAloneOnBothSides) {
  writeCommonTrees();
  TreeState before = capture(destination);
  std::string output;
  ASSERT_EQ(0, mirror(with(commonExcludes, "-v"), &output)) << output;
  TreeState after = capture(destination);
  EXPECT_EQ("a", after["docs/a.txt"].bytes);
  EXPECT_EQ(0u, after.count("stale.txt"));  // included: mirrored, so deleted
  for (const char* kept : {"web/node_modules/old/gone.js", "build/out.o", "stale.tmp"})
    EXPECT_TRUE(before.at(kept) == after[kept]) << kept;
  for (const char* never : {"notes.tmp", "docs/~$report.docx", "photos/Thumbs.db"})
    EXPECT_EQ(0u, after.count(never)) << never;
  // Each excluded folder once, by its path below the roots, though both trees hold
  // it; nothing of an excluded file.
  const std::string sep(1, pathSeparator);
  EXPECT_EQ(1u, count(output, "Excluded [" + sep + "web" + sep + "node_modules]\n")) << output;
  EXPECT_EQ(1u, count(output, "Excluded [" + sep + "build]\n")) << output;
  EXPECT_EQ(2u, count(output, "Excluded [")) << output;
  for (const char* name : {"notes.tmp", "stale.tmp", "Thumbs.db", "~$report", "gone.js", "out.o"})
    EXPECT_EQ(std::string::npos, output.find(name)) << name << "\n" << output;
  EXPECT_LT(output.find("Excluded ["), output.find("We have 1 destination and 1 source indexes"))
      << output;
  // A mirror with filters is its own fixed point too; its summary tells what they
  // left out (the source's files where its listing met them).
  ASSERT_EQ(0, mirror(with(commonExcludes, "--stats"), &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Done: 0 copied, 0 updated (0 B), 0 deleted, 0 newer "
                                           "in the destination kept, 2 folders and 3 files "
                                           "left out, 0 failed, in "))
      << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !")) << output;
  expectStill(after, destination);
}

TEST_F(FilterMirror, AnExcludedFolderThatMayNotBeListedIsNeverOpened) {
  if (platformIsWindows) GTEST_SKIP() << "folder permissions do not bind a Windows run";
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "vault", "secret.txt"}), "secret", sourceUnits);
  writeFile(at({"dst", "vault", "old.txt"}), "old", olderUnits);
  ASSERT_TRUE(shareWithEveryone(scratch));
  if (!setListable(at({"src", "vault"}), false) || !setListable(at({"dst", "vault"}), false))
    GTEST_SKIP() << "permissions cannot be taken here";
  // Without the filter the run meets the folders and cannot list them.
  std::string output;
  int status = runProgramUnprivileged({destination, source, "-v"}, scratch, &output);
  if (status < 0) GTEST_SKIP() << "cannot run the program without privileges here";
  EXPECT_EQ(1, status) << output;
  std::string filtered;
  status =
      runProgramUnprivileged({destination, source, "--exclude=/vault/", "-v"}, scratch, &filtered);
  EXPECT_EQ(0, status) << filtered;
  EXPECT_EQ(std::string::npos, filtered.find("Skipped")) << filtered;
  EXPECT_NE(std::string::npos, filtered.find("Excluded [/vault]\n")) << filtered;
  setListable(at({"src", "vault"}), true);
  setListable(at({"dst", "vault"}), true);
  TreeState after = capture(destination);
  EXPECT_EQ("a", after["a.txt"].bytes);
  EXPECT_EQ("old", after["vault/old.txt"].bytes);
}

TEST_F(FilterMirror, DeleteExcludedDeletesWhatIsLeftOutOfTheDestinationOnly) {
  writeCommonTrees();
  TreeState sourceBefore = capture(source);
  std::string output;
  ASSERT_EQ(0, mirror(with(with(commonExcludes, "--delete-excluded"), "-v"), &output)) << output;
  TreeState after = capture(destination);
  EXPECT_EQ(1u, after.size()) << treeDifference({}, after);
  EXPECT_EQ("a", after["docs/a.txt"].bytes);
  for (const char* gone : {"web/node_modules/old/gone.js", "build/out.o", "stale.tmp"})
    EXPECT_NE(std::string::npos,
              output.find("We need to delete " + joinPath(destination, native(gone))))
        << gone << "\n"
        << output;
  // The source's excluded files are still never copied.
  EXPECT_EQ(std::string::npos, output.find("We need to copy " + joinPath(source, "notes.tmp")));
  expectStill(sourceBefore, source);
  ASSERT_EQ(0, mirror(with(with(commonExcludes, "--delete-excluded"), "-v"), &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !")) << output;
}

TEST_F(FilterMirror, TheNetsUnderTheDeletionsCountWhatTheFiltersLeaveIn) {
  writeFile(at({"src", "only.tmp"}), "tmp", sourceUnits);
  writeFile(at({"dst", "a.txt"}), "a", olderUnits);
  writeFile(at({"dst", "b.tmp"}), "b", olderUnits);
  writeFile(at({"dst", "c.tmp"}), "c", olderUnits);
  TreeState before = capture(destination);
  // Every source file left out: the source is an empty one.
  std::string output;
  EXPECT_EQ(2, mirror({"--exclude=*.tmp"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("holds no file: the run would delete the "
                                           "destination's 1 file;"))
      << output;
  // Excluded destination files are no deletions, unless --delete-excluded deletes them.
  EXPECT_EQ(0, mirror({"--exclude=*.tmp", "--allow-empty-source", "--max-delete=1"}, &output))
      << output;
  EXPECT_EQ(
      2, mirror({"--exclude=*.tmp", "--delete-excluded", "--allow-empty-source", "--max-delete=1"},
                &output))
      << output;
  EXPECT_NE(std::string::npos, output.find("The run would delete 2 files, more than "
                                           "--max-delete=1 allows: nothing was changed !"))
      << output;
  before.erase("a.txt");
  expectStill(before, destination);
}

TEST_F(FilterMirror, IncludesMirrorOnlyWhatTheyMatch) {
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "a.bin"}), "bin", sourceUnits);
  writeFile(at({"src", "deep", "b.txt"}), "b", sourceUnits);
  writeFile(at({"src", "keep", "c.bin"}), "c", sourceUnits);
  writeFile(at({"src", "keep", "secret.txt"}), "secret", sourceUnits);
  writeFile(at({"dst", "old.bin"}), "outside the includes", olderUnits);
  writeFile(at({"dst", "old.txt"}), "stale", olderUnits);
  TreeState before = capture(destination);
  std::string output;
  ASSERT_EQ(0,
            mirror({"--include=*.txt", "--include", "/keep/", "--exclude=secret*", "-v"}, &output))
      << output;
  TreeState after = capture(destination);
  TreeState expected = {{"a.txt", {"a", sourceUnits}},
                        {"deep/b.txt", {"b", sourceUnits}},
                        {"keep/c.bin", {"c", sourceUnits}},
                        {"old.bin", before.at("old.bin")}};
  EXPECT_TRUE(expected == after) << treeDifference(expected, after);
}

TEST_F(FilterMirror, PatternFilesGiveOnePatternALine) {
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "b.log"}), "b", sourceUnits);
  writeFile(at({"src", "cache", "c.txt"}), "c", sourceUnits);
  writeFile(at({"src", "# not a comment.dat"}), "d", sourceUnits);
  writeFile(at({"src", "e.dat"}), "e", sourceUnits);
  // A byte order mark, CRLF line ends, comments and blank lines.
  ASSERT_TRUE(
      writeFileBytes(at({"exclude.txt"}), "\xEF\xBB\xBF*.log\r\n# comment\r\n\r\n  \r\ncache/"));
  ASSERT_TRUE(writeFileBytes(at({"include.txt"}), "*.txt\n[#]*\n"));
  std::string output;
  ASSERT_EQ(0,
            mirror({"--exclude-from=" + at({"exclude.txt"}), "--include-from", at({"include.txt"})},
                   &output))
      << output;
  TreeState after = capture(destination);
  TreeState expected = {{"a.txt", {"a", sourceUnits}}, {"# not a comment.dat", {"d", sourceUnits}}};
  EXPECT_TRUE(expected == after) << treeDifference(expected, after);
}

TEST_F(FilterMirror, UnreadablePatternsStopTheRunBeforeAnythingIsListed) {
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"dst", "stale.txt"}), "stale", olderUnits);
  ASSERT_TRUE(writeFileBytes(at({"bad.txt"}), "# fine\n*.ok\n\nlogs/[a-\n"));
  TreeState before = capture(destination);
  struct Refused {
    std::vector<std::string> options;
    std::string line;
  };
  std::string missing = at({"missing.txt"});
  std::vector<Refused> cases = {
      {{"--exclude=[abc"}, "Bad pattern [[abc] given to --exclude: an unclosed [ !\n"},
      {{"--include=*.txt", "--include", "x[z-a]"},
       "Bad pattern [x[z-a]] given to --include: a range written backwards !\n"},
      {{"--exclude=/"}, "Bad pattern [/] given to --exclude: an empty pattern !\n"},
      {{"--exclude="}, "Bad value [--exclude=]: --exclude takes a pattern !\n"},
      {{"--exclude-from=" + at({"bad.txt"})},
       "Bad pattern [logs/[a-] on line 4 of [" + at({"bad.txt"}) + "]: an unclosed [ !\n"},
  };
  for (const Refused& refused : cases) {
    std::string output;
    EXPECT_EQ(2, mirror(with(refused.options, "-v"), &output)) << output;
    EXPECT_NE(std::string::npos, output.find(refused.line)) << output;
    EXPECT_EQ(std::string::npos, output.find("Thread ")) << output;  // nothing was listed
    EXPECT_EQ(std::string::npos, output.find("Mirroring")) << output;
  }
  std::string output;
  EXPECT_EQ(2, mirror({"--include-from=" + missing}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Cannot read the pattern file [" + missing + "]: "))
      << output;
  expectStill(before, destination);
}

TEST_F(FilterMirror, PatternsFoldLetterCaseWhereTheDestinationDoes) {
  writeFile(at({"src", "Cache", "x.txt"}), "x", sourceUnits);
  writeFile(at({"src", "A.TMP"}), "a", sourceUnits);
  writeFile(at({"src", "keep.txt"}), "k", sourceUnits);
  // Where names are bytes, the patterns are too: these are mirrored.
  std::string output;
  ASSERT_EQ(0, mirror({"--exclude=cache/", "--exclude=*.tmp"}, &output)) << output;
  TreeState plain = capture(destination);
  bool folds = platformIsWindows;
  EXPECT_EQ(folds ? 0u : 1u, plain.count("A.TMP")) << output;
  EXPECT_EQ(folds ? 0u : 1u, plain.count("Cache/x.txt")) << output;
  if (platformIsWindows) return;
  // On an exFAT stick, where a.tmp and A.TMP are one file, they are excluded alike,
  // and the stick's own case twin of an excluded source file is left alone.
  std::string why = mountTestImage(mountExfatFuse, at({"stick.img"}), at({"stick"}), 32, &stick);
  if (!why.empty()) GTEST_SKIP() << why;
  destination = at({"stick"});
  // Whole seconds, which exFAT keeps as they are given.
  writeFile(at({"stick", "a.tmp"}), "the stick's own", 130000000000000000LL);
  writeFile(at({"stick", "cache", "y.txt"}), "y", 130000000000000000LL);
  TreeState before = capture(destination);
  ASSERT_EQ(0, mirror({"--exclude=cache/", "--exclude=*.tmp", "-v"}, &output)) << output;
  TreeState after = capture(destination);
  EXPECT_TRUE(before.at("a.tmp") == after["a.tmp"]) << output;
  EXPECT_TRUE(before.at("cache/y.txt") == after["cache/y.txt"]) << output;
  EXPECT_EQ(3u, after.size()) << treeDifference(before, after);
  EXPECT_EQ(1u, count(output, "Excluded [/Cache]\n")) << output;
}
}  // namespace
