// Names of every script and long paths, mirrored, updated and deleted like any other:
// on Windows they are UTF-8 inside the program and UTF-16 at the system's wide calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/end_to_end_fixture.h"

namespace {
const std::string separator(1, pathSeparator);
const std::string lineEnd = platformIsWindows ? "\r\n" : "\n";

// 84 CJK characters and a letter: 253 bytes of UTF-8, as long as a name may be on
// the host file systems here (ext4 takes 255 bytes a name, not 255 UTF-16 units).
std::string longCjkName() {
  std::string name;
  for (int i = 0; i < 84; ++i) name += "語";
  return name + "x";
}

class UnicodePaths : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    source = at({"src"});
    destination = at({"dst"});
    ASSERT_TRUE(makeFolders(source));
  }
  // A run that must succeed; gives its output.
  std::string mirror(const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::string output;
    EXPECT_EQ(0, run(arguments, &output)) << output;
    return output;
  }
  void expectEqualAfterwards() {
    expectMirror(destination, source);
    EXPECT_NE(std::string::npos, mirror().find("Nothing to do, folders are equal !\n"));
  }
  std::string source, destination;
};

TEST_F(UnicodePaths, NamesOfManyScriptsMirrorShowAndLog) {
  // The roots themselves reach the program through the command line.
  source = at({"src-日本"});
  destination = at({"dst-ü"});
  const std::vector<std::string> names = {
      "日本語-é.txt",
      "Ünïcödé",
      "😀 party 🎉.txt",
      "Ђорђе" + separator + "ελληνικά" + separator + "한국어.doc",
      "עברית" + separator + "عربي.txt",
      "देवनागरी",
      longCjkName()};
  for (size_t i = 0; i < names.size(); ++i)
    writeFile(joinPath(source, names[i]), std::string(i + 1, 'a' + i), sourceUnits);
  writeFile(joinPath(destination, "ståle-ø.txt"), "stale", olderUnits);
  std::string output = mirror({"-v", "-l"});
  expectEqualAfterwards();
  EXPECT_FALSE(pathExists(joinPath(destination, "ståle-ø.txt")));
  // Through a pipe the console lines are the UTF-8 bytes; the log holds UTF-8 too.
  EXPECT_NE(std::string::npos, output.find("We need to copy " + joinPath(source, names[0]) + "\n"))
      << output;
  EXPECT_NE(std::string::npos,
            output.find("We need to delete " + joinPath(destination, "ståle-ø.txt") + "\n"))
      << output;
  std::string log;
  ASSERT_TRUE(readFileBytes(at({".mirror_log"}), &log));
  EXPECT_NE(std::string::npos, log.find("Got " + separator + names[0] + "\t1" + lineEnd)) << log;
  EXPECT_NE(std::string::npos, log.find("Got " + separator + longCjkName() + "\t7" + lineEnd))
      << log;
  EXPECT_NE(std::string::npos, log.find("Deleted " + separator + "ståle-ø.txt" + lineEnd)) << log;
}

// The relative path, below the source or the destination root, that makes a full
// path of length characters (UTF-16 units on Windows, bytes on POSIX, the same for
// these ASCII names): folders of 200 characters, then a file name.
std::string pathOfLength(const std::string& root, size_t length) {
  std::string relative;
  size_t used = root.size() + 1;
  while (length - used > 240) {
    relative += std::string(199, static_cast<char>('a' + relative.size() % 26)) + separator;
    used += 200;
  }
  return relative + std::string(length - used, 'f');
}

TEST_F(UnicodePaths, LongPathsAreMirroredUpdatedAndDeleted) {
  for (size_t length : {300, 1000, 4000}) {
    SCOPED_TRACE(length);
    if (static_cast<size_t>(pathBufferSize) <= length)
      GTEST_SKIP() << "paths of " << length << " bytes pass this system's path buffer";
    std::string relative = pathOfLength(source, length);
    std::string sourceFile = joinPath(source, relative);
    ASSERT_EQ(length, sourceFile.size());
    writeFile(sourceFile, "first", sourceUnits);
    std::string stale = joinPath(destination, pathOfLength(destination, length - 1) + "s");
    writeFile(stale, "stale", olderUnits);
    mirror();
    expectEqualAfterwards();
    EXPECT_FALSE(pathExists(stale));
    // An update of the deepest file, then its deletion.
    writeFile(sourceFile, "second, newer", sourceUnits + 10000000);
    mirror();
    expectEqualAfterwards();
    ASSERT_EQ(0, deleteFile(sourceFile.c_str()));
    mirror({"--allow-empty-source"});  // the source holds no file now
    expectEqualAfterwards();
    EXPECT_FALSE(pathExists(joinPath(destination, relative)));
  }
}

// NTFS takes a letter and its capital as one name, beyond A-Z as well: such names
// are twins, updated in place when the source is newer and kept when it is not.
TEST_F(UnicodePaths, CaseTwinsBeyondAtoZAreTwins) {
  if (!platformIsWindows) GTEST_SKIP() << "POSIX names are bytes: these are other names";
  const std::vector<std::pair<std::string, std::string>> older = {
      {"É.txt", "é.txt"},
      {"ΩMEGA.txt", "ωMEGA.txt"},
      {"Ärger" + separator + "in.txt", "ärger" + separator + "in.txt"}};
  for (const auto& twin : older) {
    writeFile(joinPath(source, twin.first), "source " + twin.first, sourceUnits);
    writeFile(joinPath(destination, twin.second), "older", olderUnits);
  }
  // A newer destination twin is the user's: never overwritten by the older source.
  writeFile(joinPath(source, "жук.txt"), "older source", olderUnits);
  writeFile(joinPath(destination, "ЖУК.txt"), "newer destination", sourceUnits);
  std::string output = mirror({"-v"});
  EXPECT_EQ(std::string::npos, output.find("We need to copy")) << output;
  EXPECT_EQ(std::string::npos, output.find("We need to delete")) << output;
  TreeState got = captureTree(destination);
  ASSERT_EQ(older.size() + 1, got.size()) << output;
  for (const auto& twin : older) {
    // The destination's spelling stays; its content and time are the source's.
    ASSERT_EQ(1u, got.count(twin.second)) << twin.second << output;
    EXPECT_EQ("source " + twin.first, got[twin.second].bytes) << output;
    EXPECT_EQ(sourceUnits, got[twin.second].lastWrite) << output;
  }
  EXPECT_EQ("newer destination", got["ЖУК.txt"].bytes) << output;
  EXPECT_NE(std::string::npos, mirror().find("Nothing to do, folders are equal !\n"));
}

// A name that UTF-8 cannot hold is never mirrored under another name, and with the
// source listing incomplete nothing is deleted: the run says so and fails.
TEST_F(UnicodePaths, UnconvertibleNameIsReportedAndLosesNothing) {
  if (!makeFileWithLoneSurrogate(source))
    GTEST_SKIP() << "no name with a lone surrogate can be made here";
  writeFile(joinPath(source, "good.txt"), "good", sourceUnits);
  writeFile(joinPath(destination, "stale.txt"), "stale", olderUnits);
  std::string output;
  EXPECT_EQ(1, run({destination, source, "-v"}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("lone-\xEF\xBF\xBD.txt]: name cannot be converted !\n"))
      << output;
  EXPECT_NE(std::string::npos, output.find("No file was deleted")) << output;
  EXPECT_TRUE(pathExists(joinPath(destination, "stale.txt")));
  std::string copied;
  EXPECT_TRUE(readFileBytes(joinPath(destination, "good.txt"), &copied));
  EXPECT_EQ("good", copied);
  EXPECT_EQ(3u, listFiles(source).size() + listFiles(destination).size() - 1) << output;
}
}  // namespace
