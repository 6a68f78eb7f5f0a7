#include "scan/tree_walker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "scan/tree_walker_fixture.h"

namespace {
const std::string separator(1, pathSeparator);

// The names enumerateDirectory gives for one kind of entry, in its order.
struct NameList {
  std::vector<std::string> files;
  std::vector<std::string> folders;
};
void addName(void* context, const char* name, int isDirectory, uint64_t, FileTime) {
  NameList* list = static_cast<NameList*>(context);
  std::string text = name;
  if (text == "." || text == "..") return;
  (isDirectory ? list->folders : list->files).push_back(text);
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool inside(const std::string& path, const std::string& folder) {
  return folder.empty() || path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

TEST_F(TreeWalkerTest, WalksDepthFirstWithEachFolderFilesFirst) {
  for (const char* name : {"r1", "r2", "a/a1", "a/a2", "a/c/c1", "b/b1", "o/p/p1", "o/p/q/q1"})
    file(name);
  folder("e");
  std::vector<std::string> paths = walkTree();
  ASSERT_EQ(8u, paths.size());
  EXPECT_EQ(sorted(paths),
            sorted({"r1", "r2", "a/a1", "a/a2", "a/c/c1", "b/b1", "o/p/p1", "o/p/q/q1"}));
  // A folder's files come before anything below it, and everything below a folder
  // comes in one run (depth first), whatever order the system enumerates in.
  for (const char* tree : {"", "a", "a/c", "b", "o", "o/p", "o/p/q"}) {
    int first = -1, last = -1;
    for (int i = 0; i < static_cast<int>(paths.size()); ++i) {
      if (!inside(folderOf(paths[i]), tree)) continue;
      if (first < 0) first = i;
      last = i;
    }
    for (int i = first; i <= last; ++i)
      EXPECT_TRUE(inside(folderOf(paths[i]), tree)) << paths[i] << " inside the run of " << tree;
    for (int i = first; i <= last; ++i) {
      if (folderOf(paths[i]) != tree) continue;
      for (int j = first; j < i; ++j)
        EXPECT_EQ(tree, folderOf(paths[j])) << paths[j] << " before a file of " << tree;
    }
  }
}

TEST_F(TreeWalkerTest, CallbackGetsTheFolderEndingInASeparator) {
  file("top");
  file("a/b/deep");
  walkTree();
  ASSERT_EQ(2u, walkReports.size());
  for (const WalkReport& report : walkReports) {
    if (report.name == "top")
      EXPECT_EQ(root + separator, report.directory);
    else
      EXPECT_EQ(root + separator + "a" + separator + "b" + separator, report.directory);
  }
  // A root that already ends in a separator gets no second one.
  walkTree(root + separator);
  ASSERT_EQ(2u, walkReports.size());
  for (const WalkReport& report : walkReports) {
    if (report.name == "top") {
      EXPECT_EQ(root + separator, report.directory);
    }
  }
}

TEST_F(TreeWalkerTest, ReportsHiddenEntriesButNeverDotEntries) {
  file(".hidden");
  file(".dir/.inner");
  file("plain/x");
  std::vector<std::string> paths = walkTree();
  EXPECT_EQ(sorted(paths), sorted({".hidden", ".dir/.inner", "plain/x"}));
  for (const WalkReport& report : walkReports) {
    EXPECT_NE(".", report.name);
    EXPECT_NE("..", report.name);
  }
}

TEST_F(TreeWalkerTest, WithoutRecursionOnlyTheRootFilesAreReported) {
  file("one");
  file("two");
  file("sub/three");
  EXPECT_EQ(sorted(walkTree(std::string(), 0)), sorted({"one", "two"}));
}

TEST_F(TreeWalkerTest, KeepsEveryEntryOfLargeFoldersInEnumerationOrder) {
  for (int i = 0; i < 129; ++i) file("many/f" + std::to_string(i));
  for (int i = 0; i < 33; ++i) file("dirs/d" + std::to_string(i) + "/x");
  std::vector<std::string> paths = walkTree();
  ASSERT_EQ(162u, paths.size());
  NameList many, dirs;
  ASSERT_EQ(enumerateListed, enumerateDirectory(at("many").c_str(), addName, &many));
  ASSERT_EQ(enumerateListed, enumerateDirectory(at("dirs").c_str(), addName, &dirs));
  std::vector<std::string> manyReported, dirsReported;
  for (const std::string& path : paths) {
    if (folderOf(path) == "many")
      manyReported.push_back(path.substr(5));
    else
      dirsReported.push_back(folderOf(path).substr(5));
  }
  EXPECT_EQ(many.files, manyReported);
  EXPECT_EQ(dirs.folders, dirsReported);
  EXPECT_EQ(129u, std::set<std::string>(manyReported.begin(), manyReported.end()).size());
  EXPECT_EQ(33u, std::set<std::string>(dirsReported.begin(), dirsReported.end()).size());
}

TEST_F(TreeWalkerTest, ReportsSizeAndTimeAsTheSystemKeepsThem) {
  file("small", std::string(1234, 'z'));
  file("big");
  std::error_code error;
  std::filesystem::resize_file(at("big"), (5ull << 32) + 3, error);
  if (error) GTEST_SKIP() << "cannot make a file of 20 GiB here: " << error.message();
  // A time with a part below one second, so that a lossy conversion shows.
  FileTime time = {0x12345677u, 0x01D9ABCDu};
  ASSERT_EQ(0, setFileTimes(at("small").c_str(), time));
  walkTree();
  ASSERT_EQ(2u, walkReports.size());
  for (const WalkReport& report : walkReports) {
    if (report.name == "big") {
      EXPECT_EQ((5ull << 32) + 3, report.size);
    } else {
      EXPECT_EQ(1234u, report.size);
      EXPECT_EQ(time.low, report.time.low);
      EXPECT_EQ(time.high, report.time.high);
    }
  }
}

TEST_F(TreeWalkerTest, RootsThatCannotBeListedReportNothing) {
  file("afile");
  EXPECT_TRUE(walkTree(at("missing")).empty());
  EXPECT_EQ(enumerateMissing, lastWalker->rootResult);
  // The system's reason goes with it, for the line that names the root.
  EXPECT_NE(0, lastWalker->rootFailure);
  EXPECT_TRUE(walkTree(at("afile")).empty());
  EXPECT_EQ(enumerateUnreadable, lastWalker->rootResult);
  EXPECT_NE(0, lastWalker->rootFailure);
  walkTree(root);
  EXPECT_EQ(enumerateListed, lastWalker->rootResult);
  EXPECT_EQ(0, lastWalker->rootFailure);
  // An empty root path reports nothing and is not taken for the current folder.
  TreeWalker walker(recordWalkReport);
  walkReports.clear();
  EXPECT_EQ(0, walker.walk(""));
  EXPECT_TRUE(walkReports.empty());
}

TEST_F(TreeWalkerTest, AForeignFolderStopsTheWalkWhereverItIsListed) {
  for (const char* name : {"r1", "a/a1", "a/c/c1", "a/c/d/d1"}) file(name);
  FileIdentity inner, top, elsewhere;
  ASSERT_EQ(0, fileIdentity(at("a/c").c_str(), &inner));
  ASSERT_EQ(0, fileIdentity(root.c_str(), &top));
  std::string other = makeScratchFolder();
  ASSERT_EQ(0, fileIdentity(other.c_str(), &elsewhere));
  removeScratchFolder(other);
  struct Case {
    const FileIdentity* foreign;
    int met;
  } cases[] = {{&inner, foreignMetBelowRoot},
               {&top, foreignMetAtRoot},
               {&elsewhere, foreignMetNowhere},
               {nullptr, foreignMetNowhere}};
  for (const Case& c : cases) {
    TreeWalker walker(recordWalkReport);
    walker.foreignFolder = c.foreign;
    walkReports.clear();
    walker.walk(root.c_str());
    EXPECT_EQ(c.met, walker.foreignFolderMet);
    std::vector<std::string> paths;
    for (const WalkReport& report : walkReports) paths.push_back(below(report));
    // Files come before subfolders: r1 and a/a1 precede a/c, which stops the walk.
    size_t reported = c.met == foreignMetNowhere ? 4 : c.met == foreignMetBelowRoot ? 2 : 0;
    EXPECT_EQ(reported, paths.size());
    for (const std::string& path : paths)
      EXPECT_TRUE(c.met == foreignMetNowhere || path.compare(0, 4, "a/c/") != 0) << path;
  }
}

TEST_F(TreeWalkerTest, AStoppedWalkerReportsNothingMore) {
  file("f");
  TreeWalker walker(recordWalkReport);
  walker.abortRequested = 1;
  walkReports.clear();
  EXPECT_EQ(0, walker.walk(root.c_str()));
  EXPECT_TRUE(walkReports.empty());
  EXPECT_EQ(1, walker.abortRequested);
}
}  // namespace

namespace {
int listingLooks = 0;
// Stands for an ESC read at the first look inside the listing: the interruption
// flag sets abortRequested at the same look.
void stopAtFirstLook(void*) {
  if (++listingLooks == 1) setInterruptRequested(1);
}

TEST_F(TreeWalkerTest, AStopDuringOneLargeListingReportsNoneOfIt) {
  // The stop comes while one folder is listed, after which no visit is left: it must
  // be seen inside the listing, which then reports nothing and looks no more.
  for (int i = 0; i < 3 * keyPollEntries; ++i) file("big/f" + std::to_string(i));
  file("a.txt");
  listingLooks = 0;
  keyPolled = stopAtFirstLook;
  std::vector<std::string> reported = walkTree();
  setInterruptRequested(0);
  EXPECT_EQ(1, listingLooks);
  EXPECT_EQ(1, lastWalker->abortRequested);
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, reported);
}

TEST_F(TreeWalkerTest, ALargeListingLooksAtTheKeyboardEvery1024Entries) {
  for (int i = 0; i < 3 * keyPollEntries - 1; ++i) file("f" + std::to_string(i));
  listingLooks = 0;
  keyPolled = [](void*) { ++listingLooks; };
  std::vector<std::string> reported = walkTree();
  // ".." and "." are entries of the listing too.
  EXPECT_EQ(3, listingLooks);
  EXPECT_EQ(static_cast<size_t>(3 * keyPollEntries - 1), reported.size());
  EXPECT_EQ(0, lastWalker->abortRequested);
}
}  // namespace
