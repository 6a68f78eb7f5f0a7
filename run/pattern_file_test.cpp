// Pattern files as the program reads them: a file with a line that is no text is
// refused whole, by its name and that line, before anything is listed; a long list
// of patterns is read and used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/end_to_end_fixture.h"

namespace {
class PatternFileRun : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    source = at({"src"});
    destination = at({"dst"});
    writeFile(at({"src", "a.txt"}), "a", sourceUnits);
    writeFile(at({"src", "docs", "b.log"}), "b", sourceUnits);
    writeFile(at({"dst", "stale.txt"}), "stale", olderUnits);
    writeFile(at({"dst", "a.txt"}), "old a", olderUnits);
  }
  // Expects the run with the pattern file holding bytes to stop with the line that
  // names the file, line and fault, before listing, and nothing changed.
  void expectRefused(const std::string& bytes, int line, const char* fault, const char* option) {
    std::string file = at({"patterns.txt"});
    ASSERT_TRUE(writeFileBytes(file, bytes));
    TreeState sourceBefore = captureTree(source), destinationBefore = captureTree(destination);
    std::string output;
    EXPECT_EQ(2, run({destination, source, std::string(option) + file, "-v"}, &output)) << output;
    std::string refusal =
        "Bad pattern file [" + file + "]: " + fault + " on line " + std::to_string(line) + " !\n";
    // The banner, then the refusal alone: nothing was listed.
    ASSERT_GE(output.size(), refusal.size()) << output;
    EXPECT_EQ(refusal, output.substr(output.size() - refusal.size())) << output;
    EXPECT_EQ(std::string::npos, output.find("Mirroring")) << output;
    EXPECT_EQ(std::string::npos, output.find("Thread ")) << output;
    expectUnchanged(destinationBefore, destination);
    expectUnchanged(sourceBefore, source);
  }
  std::string source, destination;
};

struct Bytes {
  std::string text;
  int line;
};
}  // namespace

TEST_F(PatternFileRun, ANulByteRefusesTheFileByItsLine) {
  // Anywhere on a line, comments and the last line included, and a file saved as
  // UTF-16, whose every ASCII letter has a NUL beside it.
  const std::vector<Bytes> files = {
      {std::string("*.log\n\0\n", 8), 2}, {std::string("\0*.tmp\n", 7), 1},
      {std::string("a\0b\n", 4), 1},      {std::string("# fine\nabc\0\n", 12), 2},
      {std::string("abc\r\0\n", 6), 1},   {std::string("*.log\r\n# a comment \0\r\n", 23), 2},
      {std::string("x\n\n\0", 4), 3},     {std::string("\xFF\xFE*\0.\0t\0m\0p\0\n\0", 14), 1},
  };
  for (const Bytes& file : files) {
    SCOPED_TRACE(std::to_string(&file - files.data()));
    expectRefused(file.text, file.line, "a NUL byte", "--exclude-from=");
  }
  expectRefused(std::string("*.txt\n*\0.log\n", 13), 2, "a NUL byte", "--include-from=");
}

TEST_F(PatternFileRun, BytesThatAreNotUtf8RefuseTheFileWhereNamesAreUtf8) {
  // Latin-1, a lone continuation byte, an overlong /, a surrogate, a character past
  // U+10FFFF, and a character cut short by the line's end.
  const std::vector<Bytes> files = {
      {"caf\xE9.txt\n", 1},     {"ok\n\x80x\n", 2},        {"\xC0\xAF\n", 1},
      {"a\n\xED\xA0\x80\n", 2}, {"\xF4\x90\x80\x80\n", 1}, {"ok\n# ok\nab\xE2\x82\r\n", 3},
  };
  if (platformIsWindows) {
    for (const Bytes& file : files) {
      SCOPED_TRACE(std::to_string(&file - files.data()));
      expectRefused(file.text, file.line, "bytes that are not UTF-8", "--exclude-from=");
    }
    return;
  }
  // Where names are bytes, a pattern in another encoding matches names in it.
  writeFile(at({"src", "caf\xE9.txt"}), "latin", sourceUnits);
  writeFile(at({"src", "cafe.txt"}), "plain", sourceUnits);
  ASSERT_TRUE(writeFileBytes(at({"patterns.txt"}), files[0].text));
  std::string output;
  ASSERT_EQ(0, run({destination, source, "--exclude-from=" + at({"patterns.txt"})}, &output))
      << output;
  TreeState after = captureTree(destination);
  EXPECT_EQ(0u, after.count("caf\xE9.txt")) << output;
  EXPECT_EQ(1u, after.count("cafe.txt")) << output;
}

TEST_F(PatternFileRun, TwentyThousandPatternsAreReadAndUsed) {
  std::string patterns;
  for (int i = 0; i < 20000; ++i) {
    std::string n = std::to_string(i);
    patterns += i % 4 == 0   ? "name" + n + "\n"
                : i % 4 == 1 ? "*." + n + "x\r\n"
                : i % 4 == 2 ? "/top" + n + "/**/*.[a-p]\n"
                             : "**/*-" + n + "-*/**/*?*\n";
  }
  ASSERT_TRUE(writeFileBytes(at({"patterns.txt"}), patterns));
  writeFile(at({"src", "d", "name19996"}), "1", sourceUnits);
  writeFile(at({"src", "e.19997x"}), "2", sourceUnits);
  writeFile(at({"src", "top19998", "x", "y.p"}), "3", sourceUnits);
  writeFile(at({"src", "top19998", "x", "y.q"}), "4", sourceUnits);
  writeFile(at({"src", "-19999-", "z", "w"}), "5", sourceUnits);
  writeFile(at({"src", "name20000"}), "6", sourceUnits);
  std::string output;
  ASSERT_EQ(0, run({destination, source, "--exclude-from=" + at({"patterns.txt"})}, &output))
      << output;
  TreeState after = captureTree(destination);
  TreeState expected = captureTree(source);
  for (const char* left : {"d/name19996", "e.19997x", "top19998/x/y.p", "-19999-/z/w"}) {
    std::string path = left;
    for (char& c : path)
      if (c == '/') c = pathSeparator;
    expected.erase(path);
  }
  EXPECT_TRUE(expected == after) << treeDifference(expected, after) << output;
}
