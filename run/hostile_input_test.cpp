// Whole runs given hostile input: folder arguments that are empty, too long, relative,
// the same or nested; file names that look like formats, options or nothing printable;
// trees deeper than a path can name. Each gets a clear outcome and loses nothing.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "run/end_to_end_fixture.h"

namespace {
class HostileInput : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    destination = at({"dst"});
    source = at({"src"});
    writeFile(at({"src", "a.txt"}), "a", sourceUnits);
    writeFile(at({"src", "inner", "b.txt"}), "b", sourceUnits);
    writeFile(at({"dst", "stale.txt"}), "stale", olderUnits);
  }
  // Runs with arguments the run must refuse: exit 2, the expected line, and nothing
  // anywhere in the scratch folder changed.
  void expectRefused(const std::vector<std::string>& arguments, const std::string& line) {
    TreeState before = captureTree(scratch);
    std::string output;
    EXPECT_EQ(2, run(arguments, &output)) << output;
    EXPECT_NE(std::string::npos, output.find(line)) << output;
    expectUnchanged(before, scratch);
  }
  std::string destination;
  std::string source;
};

std::string withSeparators(const std::string& path, int count) {
  return path + std::string(static_cast<size_t>(count), pathSeparator);
}

TEST_F(HostileInput, EmptyAndTooLongFolderArgumentsAreRefused) {
  expectRefused({"", source}, "The destination folder [] is empty");
  expectRefused({destination, ""}, "The source folder [] is empty");
  if (platformIsWindows) GTEST_SKIP() << noRootTooLongOnWindows;
  std::string tooLong = joinPath(scratch, std::string(pathBufferSize, 'x'));
  expectRefused({tooLong, source}, "The destination folder name is too long");
  expectRefused({destination, tooLong}, "The source folder name is too long");
}

TEST_F(HostileInput, RelativeFoldersWithTrailingSeparatorsMirror) {
  std::string output;
  EXPECT_EQ(0, run({withSeparators("dst", 3), withSeparators("src", 1), "-v"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Mirroring source [src] to destination folder [dst]\n"))
      << output;
  expectMirror(destination, source);
  std::string dotted =
      std::string(".") + pathSeparator + "src" + pathSeparator + ".." + pathSeparator + "src";
  EXPECT_EQ(0, run({"dst", dotted}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}

TEST_F(HostileInput, DotAndDotDotContainTheOtherFolder) {
  expectRefused({".", "src"}, "lies inside the destination folder");
  expectRefused({"dst", "."}, "lies inside the source folder");
  expectRefused({"..", "src"}, "lies inside the destination folder");
  expectRefused({"dst", ".."}, "lies inside the source folder");
}

// Run from inside the source (cd src; talven ../dst .): the current folder is the
// source, and a destination beside it on the same drive lies in neither.
TEST_F(HostileInput, TheCurrentFolderAsTheSourceAndADestinationBesideIt) {
  std::string output;
  std::string beside = std::string("..") + pathSeparator + "dst";
  EXPECT_EQ(0, runProgram({beside, "."}, source, &output)) << output;
  expectMirror(destination, source);
  EXPECT_EQ(0, runProgram({beside + pathSeparator + "new", "."}, source, &output)) << output;
  expectMirror(at({"dst", "new"}), source);
}

TEST_F(HostileInput, FolderArgumentNamingAFileIsRefused) {
  expectRefused({at({"src", "a.txt"}), at({"dst"})}, "Cannot list the destination folder");
  expectRefused({destination, at({"src", "a.txt"})}, "Cannot list the source folder");
  expectRefused({destination, at({"src", "missing"})}, "Cannot list the source folder");
}

TEST_F(HostileInput, SameFolderIsRefused) {
  expectRefused({source, source}, "are the same folder");
  expectRefused({"src", withSeparators(source, 2)}, "are the same folder");
  std::string dotted = source + pathSeparator + ".";
  expectRefused({dotted, source}, "are the same folder");
  if (!platformIsWindows && makeSymlink(source, at({"link"})))
    expectRefused({at({"link"}), source}, "are the same folder");
}

TEST_F(HostileInput, NestedFoldersAreRefusedBothWays) {
  expectRefused({at({"src", "inner"}), source}, "lies inside the source folder");
  expectRefused({source, at({"src", "inner"})}, "lies inside the destination folder");
  // A destination that does not exist yet is placed where the copies would make it.
  expectRefused({at({"src", "new", "deeper"}), source}, "lies inside the source folder");
  if (!platformIsWindows && makeSymlink(at({"src", "inner"}), at({"into-source"})))
    expectRefused({at({"into-source"}), source}, "lies inside the source folder");
}

TEST_F(HostileInput, FolderNamedLikeAnOptionIsGivenWithItsPath) {
  // A folder argument that starts with a dash is refused, never read as an option
  // nor as a folder; given with its path, it is a folder and nothing else.
  ASSERT_TRUE(makeFolders(at({"-p"})));
  writeFile(at({"-p", "stale.txt"}), "stale", olderUnits);
  TreeState before = captureTree(at({"-p"}));
  std::string output;
  EXPECT_EQ(2, run({"-p", "src", "-v"}, &output)) << output;
  EXPECT_EQ(std::string::npos, output.find("We need to delete")) << output;
  expectUnchanged(before, at({"-p"}));
  std::string dashFolder = std::string(".") + pathSeparator + "-p";
  EXPECT_EQ(0, run({dashFolder, "src", "-v"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("We need to delete " + dashFolder)) << output;
  expectMirror(at({"-p"}), source);
}

// Names that a careless program would print as formats, read as options or split at
// spaces; all of them are allowed on both systems.
const char* const hostileNames[] = {
    "%s%n%x%p.txt", "with space.txt", " leading space", "-v", "--help", "-", "-rf x",
};
// Names only POSIX allows: cut at a line end, a trailing space, bytes that are no
// UTF-8, what Windows reads as separators and drives, and the longest name, which a Windows path
// buffer cannot hold with a folder.
const char* const posixOnlyNames[] = {"trailing space ", "new\nline.txt", "\xff\xfe\x80invalid",
                                      "back\\slash.txt", "c:\\drive.txt", "C:"};

TEST_F(HostileInput, HostileFileNamesAreMirroredExactly) {
  std::vector<std::string> names(std::begin(hostileNames), std::end(hostileNames));
  if (!platformIsWindows) {
    names.insert(names.end(), std::begin(posixOnlyNames), std::end(posixOnlyNames));
    names.push_back(std::string(255, 'n'));
  }
  int index = 0;
  for (const std::string& name : names) {
    writeFile(at({"src", name}), "content " + std::to_string(index), sourceUnits);
    writeFile(at({"src", "%n folder", name}), "inner " + std::to_string(index++), sourceUnits);
  }
  writeFile(at({"dst", "-v"}), "older", olderUnits);
  writeFile(at({"dst", "%s%n%x%p extra"}), "extra", olderUnits);
  std::string output;
  EXPECT_EQ(0, run({destination, source, "-v", "-l"}, &output)) << output;
  expectMirror(destination, source);
  const std::string separator(1, pathSeparator);
  EXPECT_NE(std::string::npos, output.find("We need to copy " + at({"src", "%s%n%x%p.txt"})))
      << output;
  EXPECT_NE(std::string::npos, output.find("Newer file found " + separator + "-v, updating!"))
      << output;
  std::string log;
  ASSERT_TRUE(readFileBytes(at({".mirror_log"}), &log));
  EXPECT_NE(std::string::npos, log.find("Got " + separator + "%s%n%x%p.txt\t9")) << log;
  EXPECT_NE(std::string::npos, log.find("Deleted " + separator + "%s%n%x%p extra")) << log;
  EXPECT_EQ(0, run({destination, source}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}

TEST_F(HostileInput, NamesDifferingOnlyInCaseStayApart) {
  if (platformIsWindows) GTEST_SKIP() << "names differing in case are one file on Windows";
  writeFile(at({"src", "Case.txt"}), "upper initial", sourceUnits);
  writeFile(at({"src", "CASE.TXT"}), "all upper", sourceUnits);
  writeFile(at({"src", "case.txt"}), "all lower", sourceUnits);
  writeFile(at({"dst", "case.txt"}), "older lower", olderUnits);
  writeFile(at({"dst", "cAsE.txt"}), "only here", olderUnits);
  std::string output;
  EXPECT_EQ(0, run({destination, source}, &output)) << output;
  expectMirror(destination, source);
}

TEST_F(HostileInput, LongestNameInLongMissingFolder) {
  std::string folder(120, 'a');
  std::string name(255, 'n');
  writeFile(at({"src", folder, folder, folder, name}), "deep long name", sourceUnits);
  std::string output;
  EXPECT_EQ(0, run({destination, source, "-v"}, &output)) << output;
  expectMirror(destination, source);
}

// Folder names of 200 bytes, 25 deep: the deepest paths pass any path buffer.
const std::string deepName(200, 'd');
constexpr int deepLevels = 25;

TEST_F(HostileInput, SourceDeeperThanPathLimitDeletesNothing) {
  if (platformIsWindows) GTEST_SKIP() << "the test builds paths beyond the POSIX path limit";
  deepTrees = {source, destination};
  ASSERT_TRUE(makeDeepChain(source, deepName, deepLevels));
  std::string output;
  EXPECT_EQ(1, run({destination, source, "-v"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("path too long !\n")) << output;
  EXPECT_NE(std::string::npos, output.find("No file was deleted")) << output;
  EXPECT_TRUE(pathExists(at({"dst", "stale.txt"})));
  EXPECT_EQ(deepLevels, countDeepChainFiles(source, deepName, deepLevels));
  int copied = countDeepChainFiles(destination, deepName, deepLevels);
  EXPECT_GT(copied, 0);
  EXPECT_LT(copied, deepLevels);
}

TEST_F(HostileInput, DestinationDeeperThanPathLimitIsReported) {
  if (platformIsWindows) GTEST_SKIP() << "the test builds paths beyond the POSIX path limit";
  deepTrees = {source, destination};
  ASSERT_TRUE(makeDeepChain(destination, deepName, deepLevels));
  TreeState sourceBefore = captureTree(source);
  std::string output;
  EXPECT_EQ(1, run({destination, source, "-v"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("path too long !\n")) << output;
  EXPECT_NE(std::string::npos,
            output.find("The destination folder could not be listed completely !\n"))
      << output;
  expectUnchanged(sourceBefore, source);
  EXPECT_TRUE(pathExists(at({"dst", "inner", "b.txt"})));
  // What could be listed was mirrored; what could not stays as it was.
  int left = countDeepChainFiles(destination, deepName, deepLevels);
  EXPECT_GT(left, 0);
  EXPECT_LT(left, deepLevels);
}
}  // namespace
