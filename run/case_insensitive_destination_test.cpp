// Mirrors onto a destination that does not tell names apart by letter case: exFAT
// through FUSE on a loop device, as a USB stick is. Names that differ only in case
// are one file there: matched as twins, never copied over each other, never
// deleted as missing; and names exFAT cannot hold fail alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mount_support.h"
#include "run/end_to_end_fixture.h"

namespace {
// Whole seconds, which exFAT keeps as they are given.
constexpr int64_t stickUnits = 132593079670000000LL;
constexpr int64_t stickOlderUnits = 130000000000000000LL;

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

class CaseInsensitiveDestination : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    source = at({"src"});
    ASSERT_TRUE(makeFolders(source));
  }
  void TearDown() override {
    unmountTestImage(&stick);
    EndToEndTest::TearDown();
  }
  // Mounts an empty exFAT stick at mountPoint; the reason when that cannot be done.
  std::string mountStick(const std::string& mountPoint) {
    if (platformIsWindows) return "the stick is mounted from the host";
    return mountTestImage(mountExfatFuse, at({"stick.img"}), mountPoint, 32, &stick);
  }
  int mirror(const std::string& destination, std::string* output,
             std::vector<std::string> options = {"-v"}) {
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return run(arguments, output);
  }
  std::string source;
  TestMount stick = {"", "", "", false};
};

// Two source names that exFAT takes for one file: the first in the listing is
// copied, the second fails with a line, and every later run does the same, without
// a copy or a flip. The preview before says the same and writes nothing.
TEST_F(CaseInsensitiveDestination, SourceNamesDifferingInCaseNeverOverwriteEachOther) {
  std::string destination = at({"stick"});
  std::string why = mountStick(destination);
  if (!why.empty()) GTEST_SKIP() << why;
  writeFile(joinPath(source, "a.txt"), "lower", stickUnits);
  writeFile(joinPath(source, "A.TXT"), "UPPER", stickUnits + 10000000);
  writeFile(joinPath(source, "other.txt"), "other", stickUnits);
  std::string preview;
  EXPECT_EQ(1, mirror(destination, &preview, {"-v", "-p"})) << preview;
  EXPECT_TRUE(listFiles(destination).empty());

  std::string first;
  EXPECT_EQ(1, mirror(destination, &first)) << first;
  EXPECT_EQ(1u, count(first, "]: the destination cannot tell it apart from ")) << first;
  EXPECT_EQ(std::string::npos, first.find("We need to delete")) << first;
  // The line names the second name of the listing; the first one is the copy.
  bool upperSecond =
      first.find("Not copied [" + joinPath(source, "A.TXT") +
                 "]: the destination cannot tell it apart from /a.txt !\n") != std::string::npos;
  bool lowerSecond =
      first.find("Not copied [" + joinPath(source, "a.txt") +
                 "]: the destination cannot tell it apart from /A.TXT !\n") != std::string::npos;
  ASSERT_TRUE(upperSecond != lowerSecond) << first;
  EXPECT_NE(std::string::npos,
            preview.find(upperSecond ? "Not copied [" + joinPath(source, "A.TXT")
                                     : "Not copied [" + joinPath(source, "a.txt")))
      << preview;
  std::string kept = upperSecond ? "a.txt" : "A.TXT";
  TreeState after = captureTree(destination);
  ASSERT_EQ(2u, after.size()) << treeDifference(captureTree(source), after);
  ASSERT_EQ(1u, after.count(kept)) << first;
  EXPECT_EQ(upperSecond ? "lower" : "UPPER", after[kept].bytes);
  EXPECT_EQ("other", after["other.txt"].bytes);

  for (int again = 0; again < 2; ++again) {
    std::string output;
    EXPECT_EQ(1, mirror(destination, &output)) << output;
    EXPECT_EQ(1u, count(output, "]: the destination cannot tell it apart from ")) << output;
    EXPECT_EQ(std::string::npos, output.find("Filetime set successfully")) << output;
    EXPECT_EQ(std::string::npos, output.find("We need to")) << output;
    expectUnchanged(after, destination);
  }
  EXPECT_EQ("lower", captureTree(source)["a.txt"].bytes);
  EXPECT_EQ("UPPER", captureTree(source)["A.TXT"].bytes);
}

// A destination twin that differs from its source only in case is its twin: kept
// when newer, updated in place under its own spelling when older, in folders too.
TEST_F(CaseInsensitiveDestination, CaseTwinsAreKeptWhenNewerAndUpdatedInPlace) {
  std::string destination = at({"stick"});
  std::string why = mountStick(destination);
  if (!why.empty()) GTEST_SKIP() << why;
  writeFile(joinPath(source, "report.doc"), "older source", stickOlderUnits);
  writeFile(joinPath(destination, "Report.doc"), "the user's newer file", stickUnits);
  writeFile(joinPath(source, "notes.txt"), "newer source", stickUnits);
  writeFile(joinPath(destination, "NOTES.TXT"), "older", stickOlderUnits);
  writeFile(joinPath(source, "Docs/Été.txt"), "newer source in a folder", stickUnits);
  writeFile(joinPath(destination, "docs/éTÉ.TXT"), "older", stickOlderUnits);
  std::string output;
  EXPECT_EQ(0, mirror(destination, &output)) << output;
  EXPECT_EQ(2u, count(output, "Newer file found ")) << output;
  EXPECT_EQ(std::string::npos, output.find("We need to copy")) << output;
  EXPECT_EQ(std::string::npos, output.find("We need to delete")) << output;
  TreeState got = captureTree(destination);
  ASSERT_EQ(3u, got.size()) << output;
  EXPECT_EQ("the user's newer file", got["Report.doc"].bytes);
  EXPECT_EQ(stickUnits, got["Report.doc"].lastWrite);
  EXPECT_EQ("newer source", got["NOTES.TXT"].bytes);
  EXPECT_EQ(stickUnits, got["NOTES.TXT"].lastWrite);
  EXPECT_EQ("newer source in a folder", got["docs/éTÉ.TXT"].bytes);
  std::string again;
  EXPECT_EQ(0, mirror(destination, &again)) << again;
  EXPECT_NE(std::string::npos, again.find("Nothing to do, folders are equal !\n")) << again;
}

// Names exFAT cannot hold fail each with its reason; the rest is mirrored, the run
// ends with 1, and the next run says the same again.
TEST_F(CaseInsensitiveDestination, NamesTheStickRefusesFailAlone) {
  std::string destination = at({"stick"});
  std::string why = mountStick(destination);
  if (!why.empty()) GTEST_SKIP() << why;
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"what?.txt", "a character it does not allow"},
      {"a:b", "a character it does not allow"},
      {"back\\slash", "a character it does not allow"},
      {"bad|folder/in.txt", "a character it does not allow"},
      {"bell\x07", "a control character"},
      {"trailing.", "a trailing dot or space"},
      {"trailing ", "a trailing dot or space"}};
  for (const auto& name : refused) writeFile(joinPath(source, name.first), "x", stickUnits);
  writeFile(joinPath(source, "good.txt"), "good", stickUnits);
  writeFile(joinPath(destination, "stale.txt"), "stale", stickOlderUnits);
  for (int round = 0; round < 2; ++round) {
    std::string output;
    EXPECT_EQ(1, mirror(destination, &output)) << output;
    for (const auto& name : refused)
      EXPECT_NE(std::string::npos,
                output.find("Not copied [" + joinPath(source, name.first) +
                            "]: the destination cannot hold this name (" + name.second + ") !\n"))
          << name.first << "\n"
          << output;
    EXPECT_EQ(refused.size(), count(output, "Not copied [")) << output;
    EXPECT_EQ(std::vector<std::string>{"good.txt"}, listFiles(destination)) << output;
  }
  EXPECT_EQ("good", captureTree(destination)["good.txt"].bytes);
}

// A stick mounted inside a destination on a file system that tells case apart:
// each file is matched by the file system it lies on.
TEST_F(CaseInsensitiveDestination, EachMountInsideTheDestinationHasItsOwnRules) {
  std::string destination = at({"dst"});
  ASSERT_TRUE(makeFolders(destination));
  std::string why = mountStick(joinPath(destination, "stick"));
  if (!why.empty()) GTEST_SKIP() << why;
  writeFile(joinPath(source, "b.txt"), "lower", stickUnits);
  writeFile(joinPath(source, "B.TXT"), "UPPER", stickUnits);
  writeFile(joinPath(source, "stick/c.txt"), "lower", stickUnits);
  writeFile(joinPath(source, "stick/C.TXT"), "UPPER", stickUnits);
  std::string output;
  EXPECT_EQ(1, mirror(destination, &output)) << output;
  EXPECT_EQ(1u, count(output, "]: the destination cannot tell it apart from /stick/")) << output;
  TreeState got = captureTree(destination);
  EXPECT_EQ("lower", got["b.txt"].bytes) << output;
  EXPECT_EQ("UPPER", got["B.TXT"].bytes) << output;
  EXPECT_EQ(3u, got.size()) << output;
}
// One folder on the stick named in two cases is one folder: inside itself or the
// same, whichever way round, the run stops before anything is written or deleted.
TEST_F(CaseInsensitiveDestination, OneFolderNamedInAnotherCaseIsTheSameFolder) {
  std::string stick = at({"stick"});
  std::string why = mountStick(stick);
  if (!why.empty()) GTEST_SKIP() << why;
  writeFile(joinPath(stick, "Data/sub/photo.jpg"), "the only copy", stickUnits);
  writeFile(joinPath(stick, "Data/top.txt"), "top", stickUnits);
  TreeState before = captureTree(stick);
  std::string slash(1, pathSeparator);
  std::string data = joinPath(stick, "Data") + slash;
  const std::vector<std::vector<std::string>> runs = {{"stick/Data", "stick/DATA/sub"},
                                                      {"stick/DATA/sub", "stick/Data", "-p"},
                                                      {"stick/Data", "stick/DATA"},
                                                      {"stick/data/new", "stick/DATA"}};
  const std::vector<std::string> told = {
      "The source folder [" + data + "sub" + slash + "] lies inside the destination folder [" +
          data + "] !\n",
      "The destination folder [" + data + "sub" + slash + "] lies inside the source folder [" +
          data + "] !\n",
      "The destination and the source are the same folder [" + data + "] !\n",
      "The destination folder [" + data + "new" + slash + "] lies inside the source folder [" +
          data + "] !\n"};
  for (size_t i = 0; i < runs.size(); ++i) {
    std::vector<std::string> arguments = runs[i];
    arguments.push_back("-v");
    std::string output;
    EXPECT_EQ(2, run(arguments, &output)) << output;
    EXPECT_NE(std::string::npos, output.find(told[i])) << output;
    expectUnchanged(before, stick);
  }
}
}  // namespace
