// The walker at the edges: links, folders it may not read, paths too long to name.
#include <gtest/gtest.h>

#include <type_traits>

#include "scan/tree_walker.h"
#include "scan/tree_walker_fixture.h"

namespace {
bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Removes, at the end of a test, entries that are too deep for removeScratchFolder.
struct DeepEntries {
  std::vector<std::pair<std::string, std::string>> made;
  ~DeepEntries() {
    for (auto it = made.rbegin(); it != made.rend(); ++it) removeEntryIn(it->first, it->second);
  }
};

TEST_F(TreeWalkerTest, LinksToFoldersAreNotWalkedAndOnlyFileLinksAreReported) {
  std::string outside = makeScratchFolder();
  ASSERT_FALSE(outside.empty());
  ASSERT_TRUE(writeFileBytes(joinPath(outside, "secret"), "s"));
  ASSERT_TRUE(writeFileBytes(joinPath(outside, "target.bin"), std::string(1234, 't')));
  FileTime time = {0x0BADF00Du, 0x01D00000u};
  ASSERT_EQ(0, setFileTimes(joinPath(outside, "target.bin").c_str(), time));
  file("real/f1");
  bool linked = makeSymlink(at("real"), at("inner")) && makeSymlink(outside, at("out")) &&
                makeSymlink(at("real"), at("real/loop")) &&
                makeSymlink(joinPath(outside, "target.bin"), at("flink")) &&
                makeSymlink(at("nothing"), at("broken"));
  if (!linked) {
    removeScratchFolder(outside);
    GTEST_SKIP() << "symbolic links cannot be made here";
  }
  bool fifo = makeFifo(at("pipe"));
  std::vector<std::string> paths = walkTree();
  EXPECT_EQ(sorted(paths), sorted({"real/f1", "flink"}));
  for (const WalkReport& report : walkReports) {
    if (report.name != "flink") continue;
    EXPECT_EQ(1234u, report.size);
    EXPECT_EQ(time.low, report.time.low);
    EXPECT_EQ(time.high, report.time.high);
  }
  // What is left out on purpose does not make the listing incomplete.
  EXPECT_EQ(0, lastWalker->incomplete);
  EXPECT_EQ(enumerateListed, lastWalker->rootResult);
  EXPECT_TRUE(fifo || platformIsWindows);
  // A root given as a link is followed.
  walkTree(at("inner"));
  ASSERT_EQ(1u, walkReports.size());
  EXPECT_EQ("f1", walkReports[0].name);
  EXPECT_EQ(at("inner") + pathSeparator, walkReports[0].directory);
  removeScratchFolder(outside);
}

TEST_F(TreeWalkerTest, AFolderThatCannotBeListedMakesTheWalkIncomplete) {
  file("top");
  file("ok/f");
  file("locked/secret");
  if (!setListable(at("locked"), false)) GTEST_SKIP() << "permissions cannot be taken here";
  using Self = std::remove_pointer_t<decltype(this)>;
  // Runs the walk and packs what it saw into bits, so that a child can report it.
  int (*body)(void*) = [](void* context) -> int {
    Self* test = static_cast<Self*>(context);
    std::vector<std::string> paths = test->walkTree();
    int seen = 0;
    if (test->lastWalker->incomplete) seen |= 1;
    if (test->lastWalker->rootResult == enumerateListed) seen |= 2;
    if (contains(paths, "top") && contains(paths, "ok/f")) seen |= 4;
    if (!contains(paths, "locked/secret")) seen |= 8;
    if (walkSkips.size() == 1 && walkSkips[0] == test->at("locked")) seen |= 16;
    return seen;
  };
  // Permissions bind nobody privileged: then the walk runs as an ordinary user.
  int seen = runningPrivileged() ? runUnprivileged(root, body, this, nullptr) : body(this);
  setListable(at("locked"), true);
  if (seen < 0) GTEST_SKIP() << "cannot run without privileges here";
  EXPECT_EQ(1 | 2 | 4 | 8 | 16, seen);
}

TEST_F(TreeWalkerTest, ALinkWhoseTargetCannotBeExaminedMakesTheWalkIncomplete) {
  file("top");
  file("locked/secret");
  if (!makeSymlink(at("locked/secret"), at("link")) || !makeSymlink(at("nothing"), at("broken")))
    GTEST_SKIP() << "symbolic links cannot be made here";
  if (!setListable(at("locked"), false)) GTEST_SKIP() << "permissions cannot be taken here";
  using Self = std::remove_pointer_t<decltype(this)>;
  // The link may stand for a file the listing cannot see: unlike a broken link, it
  // must not pass for nothing, or the file's twin would be deleted.
  int (*body)(void*) = [](void* context) -> int {
    Self* test = static_cast<Self*>(context);
    test->walkTree(std::string(), 0);
    int seen = 0;
    if (test->lastWalker->incomplete) seen |= 1;
    if (walkReports.size() == 1 && walkReports[0].name == "top") seen |= 2;
    return seen;
  };
  int seen = runningPrivileged() ? runUnprivileged(root, body, this, nullptr) : body(this);
  setListable(at("locked"), true);
  if (seen < 0) GTEST_SKIP() << "cannot run without privileges here";
  EXPECT_EQ(1 | 2, seen);
  // A broken link alone is nothing to list and leaves the listing complete.
  ASSERT_TRUE(removeEntryIn(root, "link"));
  walkTree(std::string(), 0);
  EXPECT_EQ(0, lastWalker->incomplete);
}

TEST_F(TreeWalkerTest, EntriesWhosePathWouldNotFitAreSkipped) {
  if (!makeEntryIn(root, "probe", false))
    GTEST_SKIP() << "entries below the path limit cannot be made here";
  file("top");
  // A folder whose own path fits, with names in it that take a full path past the
  // buffer: built level by level, each level a long name.
  const int levels = 16;
  const int target = pathBufferSize - 150;
  int each = (target - static_cast<int>(root.size())) / levels - 1;
  ASSERT_GT(each, 0);
  ASSERT_LE(each, 255);
  std::string deep;
  for (int i = 0; i < levels; ++i) deep += (i ? "/" : "") + std::string(each, 'a' + i);
  folder(deep);
  int length = static_cast<int>(at(deep).size()) + 1;  // with its separator
  file(deep + "/ok");
  DeepEntries cleanup;
  // The longest name that fits: the full path is pathBufferSize - 1 characters.
  std::string fits(static_cast<size_t>(pathBufferSize - 1 - length), 'f');
  std::string tooLong = fits + "g";
  std::string longFolder(250, 'd');
  ASSERT_LE(fits.size(), 255u);
  for (const std::string& name : {fits, tooLong, longFolder}) {
    ASSERT_TRUE(makeEntryIn(at(deep), name, name == longFolder)) << name.size();
    cleanup.made.emplace_back(at(deep), name);
  }
  std::vector<std::string> paths = walkTree();
  EXPECT_EQ(sorted(paths), sorted({"probe", "top", deep + "/ok", deep + "/" + fits}));
  EXPECT_EQ(1, lastWalker->incomplete);
  EXPECT_EQ(enumerateListed, lastWalker->rootResult);
  EXPECT_EQ(sorted(walkSkips),
            sorted({at(deep) + pathSeparator + tooLong, at(deep) + pathSeparator + longFolder}));
}
}  // namespace
