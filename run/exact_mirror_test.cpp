// --exact: links stay links, names of one file stay names of one file, every folder
// is made with its time and the source's missing ones go, and an older version is
// put back. Each run is compared with the source as a listing that keeps the tree
// as it is reads both.
#include <gtest/gtest.h>

#include <string>

#include "platform/mount_support.h"
#include "run/end_to_end_fixture.h"
#include "run/exact_tree.h"

namespace {
const std::string separator(1, pathSeparator);
constexpr int64_t oldUnits = 130000000000000000LL;  // 2012
constexpr int64_t newUnits = 133000000000000000LL;  // 2022

class ExactMirrorTest : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    if (platformIsWindows) GTEST_SKIP() << "links and names of one file are made on POSIX here";
    ASSERT_TRUE(makeFolders(source));
  }
  std::string in(const std::string& relative) const { return source + separator + relative; }
  void write(const std::string& relative, const std::string& bytes, int64_t units) {
    ASSERT_TRUE(makeFolders(folderOf(in(relative))));
    writeFile(in(relative), bytes, units);
  }
  static std::string folderOf(const std::string& path) {
    return path.substr(0, path.rfind(pathSeparator));
  }
  void stamp(const std::string& relative, int64_t units) {
    ASSERT_EQ(0, setFileTimes(relative.empty() ? source.c_str() : in(relative).c_str(),
                              fileTimeOf(units)));
  }
  // A run with --exact, then the trees compared; and a second run that finds nothing.
  void expectExactMirror(std::vector<std::string> options = {}) {
    ExactTree before = captureExact(source);
    options.insert(options.begin(), {"--exact", "--no-sync", "--stats"});
    std::string output;
    EXPECT_EQ(0, runHere(options, &output)) << output;
    ExactTree mirrored = captureExact(destination);
    EXPECT_TRUE(before == mirrored) << describe(before, mirrored) << "\n" << output;
    EXPECT_TRUE(before == captureExact(source)) << "the source changed";
    EXPECT_EQ(0, runHere({"--exact", "--no-sync"}, &output)) << output;
    EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !")) << output;
    EXPECT_TRUE(mirrored == captureExact(destination))
        << describe(mirrored, captureExact(destination));
  }
};

TEST_F(ExactMirrorTest, KeepsLinksNamesOfOneFileEmptyFoldersAndTheirTimes) {
  write("a/file.txt", "bytes", oldUnits);
  write("a/b/deep.txt", "deep", newUnits);
  ASSERT_TRUE(makeSymlink("file.txt", in("a/to-file")));
  ASSERT_TRUE(makeSymlink("../a", in("a/b/to-folder")));
  ASSERT_TRUE(makeSymlink("nowhere", in("broken")));
  ASSERT_TRUE(makeSymlink(in("a/file.txt"), in("absolute")));
  write("one.txt", "one file, three names", oldUnits);
  ASSERT_TRUE(makeHardLink(in("one.txt"), in("a/second-name.txt")));
  ASSERT_TRUE(makeHardLink(in("one.txt"), in("a/b/third-name.txt")));
  ASSERT_TRUE(makeFolders(in("empty/nested")));
  stamp("empty/nested", oldUnits);
  stamp("empty", oldUnits + 7);
  stamp("a/b", newUnits + 3);
  stamp("a", oldUnits + 5);
  stamp("", newUnits + 9);
  expectExactMirror();
}

TEST_F(ExactMirrorTest, FollowsRenamesKindChangesAndOlderVersions) {
  write("docs/report.txt", "version 2", newUnits);
  write("turns-into-link.txt", "file", oldUnits);
  ASSERT_TRUE(makeSymlink("docs", in("turns-into-file")));
  write("turns-into-folder", "file", oldUnits);
  write("folder-turns-into-file/inner.txt", "inner", oldUnits);
  write("names/a.txt", "shared", oldUnits);
  ASSERT_TRUE(makeHardLink(in("names/a.txt"), in("names/b.txt")));
  std::string output;
  ASSERT_EQ(0, runHere({"--exact", "--no-sync"}, &output)) << output;
  // The changes a person makes between two runs.
  ASSERT_TRUE(removeFolderTree(in("docs")));
  write("papers/report.txt", "version 1", oldUnits);  // renamed, and an older version
  ASSERT_TRUE(removeFolderTree(in("turns-into-link.txt")));
  ASSERT_TRUE(makeSymlink("papers/report.txt", in("turns-into-link.txt")));
  ASSERT_TRUE(removeFolderTree(in("turns-into-file")));
  write("turns-into-file", "now a file", newUnits);
  ASSERT_TRUE(removeFolderTree(in("turns-into-folder")));
  write("turns-into-folder/child.txt", "child", newUnits);
  ASSERT_TRUE(removeFolderTree(in("folder-turns-into-file")));
  write("folder-turns-into-file", "a file now", oldUnits);
  ASSERT_TRUE(removeFolderTree(in("names/b.txt")));
  write("names/b.txt", "parted", oldUnits);
  ASSERT_TRUE(makeHardLink(in("names/a.txt"), in("names/c.txt")));
  ASSERT_TRUE(makeFolders(at({"dst", "only-in-destination", "sub"})));
  writeFile(at({"dst", "only-in-destination", "sub", "x.txt"}), "x", oldUnits);
  stamp("papers", oldUnits);
  stamp("names", oldUnits);
  expectExactMirror();
}

// One name of a file waits for a destination folder at its place to go, beside a
// name linked at once: each is linked once, the run succeeds.
TEST_F(ExactMirrorTest, ANameThatWaitsForAFolderBesideOneLinkedAtOnce) {
  write("first.txt", "one file, three names", oldUnits);
  ASSERT_TRUE(makeFolders(in("x")));
  ASSERT_TRUE(makeHardLink(in("first.txt"), in("x/waits")));
  ASSERT_TRUE(makeHardLink(in("first.txt"), in("x/at-once")));
  ASSERT_TRUE(makeFolders(at({"dst", "x", "waits", "inner"})));
  expectExactMirror();
}

TEST_F(ExactMirrorTest, AnOlderVersionIsAnUpdateInTheLogAndTheSummary) {
  write("file.txt", "new", newUnits);
  std::string output;
  ASSERT_EQ(0, runHere({"--exact", "--no-sync"}, &output)) << output;
  write("file.txt", "old", oldUnits);
  ASSERT_EQ(0,
            runHere({"--exact", "--no-sync", "--stats", "-v", "--log=" + at({"run.log"})}, &output))
      << output;
  EXPECT_NE(std::string::npos, output.find("Older file found " + separator + "file.txt, updating!"))
      << output;
  EXPECT_NE(std::string::npos, output.find("1 updated (3 B)")) << output;
  EXPECT_NE(std::string::npos, output.find(", 1 older version put back")) << output;
  std::string log;
  ASSERT_TRUE(readFileBytes(at({"run.log"}), &log));
  EXPECT_NE(std::string::npos, log.find("Updated")) << log;
  // Without --exact the newer twin is kept, as always.
  write("file.txt", "older still", oldUnits - 1000);
  ASSERT_EQ(0, runHere({"--no-sync", "--stats"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("1 newer in the destination kept")) << output;
}

TEST_F(ExactMirrorTest, AFolderThatHoldsWhatTheMirrorLeavesAloneStays) {
  write("kept.txt", "k", oldUnits);
  ASSERT_TRUE(makeFolders(at({"dst", "gone", "cache"})));
  writeFile(at({"dst", "gone", "cache", "big.tmp"}), "left out by the filters", oldUnits);
  ASSERT_TRUE(makeFolders(at({"dst", "gone-too", "empty"})));
  std::string output;
  EXPECT_EQ(0, runHere({"--exact", "--no-sync", "--exclude=*.tmp", "-v"}, &output)) << output;
  std::string bytes;
  EXPECT_TRUE(readFileBytes(at({"dst", "gone", "cache", "big.tmp"}), &bytes)) << output;
  EXPECT_NE(std::string::npos, output.find("Kept [" + at({"dst", "gone", "cache"}) + "]"))
      << output;
  EXPECT_FALSE(readFileBytes(at({"dst", "gone-too"}), &bytes));
  ExactTree mirrored = captureExact(destination);
  EXPECT_EQ(0u, mirrored.count(separator + "gone-too")) << describe(captureExact(source), mirrored);
}

TEST_F(ExactMirrorTest, APatternForFoldersLeavesOutFoldersNotLinksToThem) {
  write("cache/big.bin", "left out", oldUnits);
  write("keep/cache/inner.bin", "left out too", oldUnits);
  write("keep/file.txt", "kept", oldUnits);
  ASSERT_TRUE(makeFolders(in("linked")));
  ASSERT_TRUE(makeSymlink("../keep", in("linked/cache")));
  std::string output;
  EXPECT_EQ(0, runHere({"--exact", "--no-sync", "--exclude=cache/"}, &output)) << output;
  ExactTree mirrored = captureExact(destination);
  EXPECT_EQ(0u, mirrored.count(separator + "cache"));
  EXPECT_EQ(0u, mirrored.count(separator + "keep" + separator + "cache"));
  ASSERT_EQ(1u, mirrored.count(separator + "linked" + separator + "cache"))
      << describe(captureExact(source), mirrored);
  EXPECT_EQ(entryLink, mirrored[separator + "linked" + separator + "cache"].kind);
  EXPECT_EQ("kept", mirrored[separator + "keep" + separator + "file.txt"].content);
}

TEST_F(ExactMirrorTest, NamesOfOneFileInTheDestinationPartWhereTheSourceParted) {
  write("a.txt", "same bytes", oldUnits);
  write("b.txt", "same bytes", oldUnits);
  ASSERT_TRUE(makeFolders(destination));
  writeFile(at({"dst", "a.txt"}), "same bytes", oldUnits);
  ASSERT_TRUE(makeHardLink(at({"dst", "a.txt"}), at({"dst", "b.txt"})));
  expectExactMirror();
}

TEST_F(ExactMirrorTest, DeletedFoldersAndReplacedLinksGoToTheBackupFolder) {
  write("file.txt", "f", oldUnits);
  ASSERT_TRUE(makeSymlink("file.txt", in("link")));
  std::string output;
  ASSERT_EQ(0, runHere({"--exact", "--no-sync"}, &output)) << output;
  ASSERT_TRUE(removeFolderTree(in("link")));
  ASSERT_TRUE(makeSymlink("elsewhere", in("link")));
  ASSERT_TRUE(makeFolders(at({"dst", "old", "inner"})));
  writeFile(at({"dst", "old", "inner", "work.txt"}), "work", oldUnits);
  expectExactMirror({"--backup-dir=" + at({"versions"})});
  ExactTree kept = captureExact(at({"versions"}));
  int links = 0, works = 0;
  for (const auto& entry : kept) {
    links += entry.first.size() > 5 && entry.first.substr(entry.first.size() - 5) == "/link" &&
             entry.second.kind == entryLink && entry.second.content == "file.txt";
    works += entry.first.find("old/inner/work.txt") != std::string::npos;
  }
  EXPECT_EQ(1, links) << describe(ExactTree{}, kept);
  EXPECT_EQ(1, works) << describe(ExactTree{}, kept);
}

TEST_F(ExactMirrorTest, APreviewChangesNothingAndFoldersCountAsDeletions) {
  write("file.txt", "f", oldUnits);
  ASSERT_TRUE(makeSymlink("file.txt", in("link")));
  ASSERT_TRUE(makeFolders(at({"dst", "a", "b"})));
  ASSERT_TRUE(makeFolders(at({"dst", "c"})));
  ExactTree before = captureExact(destination);
  std::string output;
  EXPECT_EQ(0, runHere({"--exact", "-p", "--stats"}, &output)) << output;
  EXPECT_TRUE(before == captureExact(destination)) << describe(before, captureExact(destination));
  EXPECT_NE(std::string::npos, output.find("Preview: 2 to copy")) << output;
  EXPECT_NE(std::string::npos, output.find("3 to delete")) << output;
  // Three folders are three deletions: a cap below them stops the run unchanged.
  EXPECT_EQ(exitStopped, runHere({"--exact", "--max-delete=2"}, &output)) << output;
  EXPECT_TRUE(before == captureExact(destination));
}

// A stick of exFAT takes neither links nor other names of a file: each link fails
// alone and the run says once how many; the names of one file are copied, with one
// line; everything else is mirrored.
class ExactMirrorOnExfat : public ExactMirrorTest {
 protected:
  void TearDown() override {
    unmountTestImage(&stick);
    ExactMirrorTest::TearDown();
  }
  TestMount stick = {"", "", "", false};
};

TEST_F(ExactMirrorOnExfat, LinksFailAloneAndNamesOfOneFileAreCopied) {
  if (platformIsWindows) GTEST_SKIP() << "the stick is mounted from the host";
  std::string why = mountTestImage(mountExfatFuse, at({"exfat.img"}), destination, 64, &stick);
  if (!why.empty()) GTEST_SKIP() << why;
  write("file.txt", "bytes", oldUnits);
  write("names/first.txt", "one file", oldUnits);
  ASSERT_TRUE(makeHardLink(in("names/first.txt"), in("names/second.txt")));
  ASSERT_TRUE(makeSymlink("file.txt", in("link-a")));
  ASSERT_TRUE(makeSymlink("names", in("link-b")));
  std::string output, errors;
  EXPECT_EQ(1, runHere({"--exact", "--no-sync", "--stats"}, &output, &errors)) << output;
  EXPECT_NE(std::string::npos, errors.find("Could not make the link [" + at({"dst", "link-a"})))
      << errors;
  EXPECT_NE(std::string::npos, errors.find("Could not make the link [" + at({"dst", "link-b"})))
      << errors;
  EXPECT_NE(std::string::npos, output.find("The destination [" + destination +
                                           "] takes no links: 2 could not be made !"))
      << output;
  EXPECT_NE(std::string::npos, output.find("Names of one file could not be linked in [" +
                                           destination + "]: 1 copied instead !"))
      << output;
  for (const char* name : {"file.txt", "names/first.txt", "names/second.txt"}) {
    std::string wanted, got;
    EXPECT_TRUE(readFileBytes(in(name), &wanted));
    EXPECT_TRUE(readFileBytes(destination + separator + name, &got)) << name;
    EXPECT_EQ(wanted, got) << name;
  }
}

TEST_F(InProcessMirrorTest, LinksTheDefaultRunLeavesOutAreCountedInTheSummary) {
  if (platformIsWindows) GTEST_SKIP() << "links are made on POSIX here";
  ASSERT_TRUE(makeFolders(at({"src", "folder"})));
  writeFile(at({"src", "folder", "f.txt"}), "f", oldUnits);
  ASSERT_TRUE(makeSymlink("folder", at({"src", "to-folder"})));
  ASSERT_TRUE(makeSymlink("nowhere", at({"src", "broken"})));
  ASSERT_TRUE(makeSymlink("folder/f.txt", at({"src", "to-file"})));
  ASSERT_TRUE(makeFifo(at({"src", "pipe"})));
  std::string output;
  EXPECT_EQ(0, runHere({"--no-sync", "--stats"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find(", 2 links left out, 1 special file left out, 0 failed"))
      << output;
  // An exact run keeps the links, and tells with -v what it still leaves out.
  EXPECT_EQ(0, runHere({"--no-sync", "--stats", "--exact", "-v"}, &output)) << output;
  EXPECT_NE(std::string::npos,
            output.find("Left out [" + at({"src", "pipe"}) + "]: neither a file nor a folder !"))
      << output;
  EXPECT_NE(std::string::npos, output.find(", 1 special file left out, 0 failed")) << output;
  std::string bytes;
  EXPECT_TRUE(readFileBytes(at({"dst", "to-file"}), &bytes));
  EXPECT_EQ("f", bytes);
}
}  // namespace
