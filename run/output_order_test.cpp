// A run's lines reach one file, both streams in it ("> out 2>&1"), in the order a
// terminal shows them: what standard output holds is written out before each line
// on standard error.
#include <gtest/gtest.h>

#include "run/end_to_end_fixture.h"

namespace {
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Where the first line that starts with start stands, or lines.size().
size_t indexOf(const std::vector<std::string>& lines, const std::string& start) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].compare(0, start.size(), start) == 0) return i;
  return lines.size();
}

// Standard output and standard error on one file, as "> out 2>&1" makes them.
class OneFileTest : public EndToEndTest {
 protected:
  int runToOneFile(std::vector<std::string> options) {
    options.insert(options.begin(), {at({"dst"}), at({"src"})});
    int status = runProgramToOneFile(options, scratch, at({"out.txt"}), &output);
    lines = linesOf(output);
    return status;
  }
  std::string output;
  std::vector<std::string> lines;
};

TEST_F(OneFileTest, RedirectedLinesKeepTheirOrder) {
  // A folder that holds a file stands where the source has a file: that copy fails,
  // between the copies' lines and the deletions'.
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "blocked"}), "a file", sourceUnits);
  writeFile(at({"dst", "blocked", "inner.txt"}), "kept until deleted", olderUnits);
  writeFile(at({"dst", "old.txt"}), "only in the destination", olderUnits);
  std::string failure = "Could not create the file [" + at({"dst", "blocked"}) + "]: ";
  EXPECT_EQ(1, runToOneFile({})) << output;
  ASSERT_LT(indexOf(lines, failure), lines.size()) << output;
  EXPECT_EQ(0u, indexOf(lines, "Talven Package v")) << output;
  EXPECT_LT(indexOf(lines, "Mirroring source ["), indexOf(lines, failure)) << output;
  // With -v: after the copy's decision, before the deletions.
  writeFile(at({"dst", "old.txt"}), "only in the destination", olderUnits);
  writeFile(at({"dst", "blocked", "inner.txt"}), "kept until deleted", olderUnits);
  EXPECT_EQ(1, runToOneFile({"-v"})) << output;
  size_t failed = indexOf(lines, failure);
  ASSERT_LT(failed, lines.size()) << output;
  EXPECT_EQ(0u, indexOf(lines, "Talven Package v")) << output;
  EXPECT_LT(indexOf(lines, "We need to copy " + at({"src", "blocked"})), failed) << output;
  EXPECT_LT(failed, indexOf(lines, "We need to delete " + at({"dst", "blocked", "inner.txt"})))
      << output;
  EXPECT_LT(failed, indexOf(lines, "We need to delete " + at({"dst", "old.txt"}))) << output;
}
}  // namespace
