// The walk with filters: what is left out is never listed, and nothing of it is told
// but the excluded folder's own name.
#include <gtest/gtest.h>

#include "scan/filter.h"
#include "scan/tree_walker_fixture.h"

namespace {
FilterSet compiled(const std::vector<std::string>& excludes,
                   const std::vector<std::string>& includes = {}) {
  FilterSet set;
  for (const std::string& text : excludes) set.sources.push_back({text, filterExclude, ""});
  for (const std::string& text : includes) set.sources.push_back({text, filterInclude, ""});
  int32_t failed = -1;
  EXPECT_EQ(filterCompiled, compileFilterSet(&set, platformIsWindows, &failed));
  return set;
}

// What a walk without privileges is handed: the test and the filters of its second walk.
struct Hand {
  TreeWalkerTest* test;
  const FilterSet* set;
};

class FilteredWalk : public TreeWalkerTest {
 public:
  // Walks without and then with the filters, and packs what each saw into bits, so
  // that a child without privileges can report it.
  static int walkBoth(void* context) {
    Hand* hand = static_cast<Hand*>(context);
    FilteredWalk* test = static_cast<FilteredWalk*>(hand->test);
    int seen = 0;
    test->filters = nullptr;
    test->walkTree();
    if (test->lastWalker->incomplete && walkSkips.size() == 1) seen |= 1;  // the folder binds
    test->filters = hand->set;
    std::vector<std::string> paths = test->walkTree();
    if (!test->lastWalker->incomplete && walkSkips.empty()) seen |= 2;
    if (sorted(paths) == sorted({"keep/b", "top"})) seen |= 4;
    if (sorted(walkExclusions) ==
        sorted({test->at("locked"), test->at("web") + pathSeparator + "node_modules"}))
      seen |= 8;
    if (test->lastWalker->excludedFolders == 2 && test->lastWalker->excludedFiles == 1) seen |= 16;
    return seen;
  }
};

TEST_F(FilteredWalk, AnExcludedFolderIsNeverListed) {
  if (platformIsWindows) GTEST_SKIP() << "folder permissions do not bind a Windows run";
  file("top");
  file("top.tmp");
  file("keep/b");
  file("web/node_modules/pkg/index.js");
  file("locked/secret");
  if (!setListable(at("locked"), false)) GTEST_SKIP() << "permissions cannot be taken here";
  FilterSet set = compiled({"node_modules/", "/locked/", "*.tmp"});
  Hand hand = {this, &set};
  // Permissions bind nobody privileged: then the walks run as an ordinary user.
  int seen =
      runningPrivileged() ? runUnprivileged(root, walkBoth, &hand, nullptr) : walkBoth(&hand);
  setListable(at("locked"), true);
  if (seen < 0) GTEST_SKIP() << "cannot run without privileges here";
  EXPECT_EQ(1 | 2 | 4 | 8 | 16, seen);
}

TEST_F(FilteredWalk, ExcludedEntriesAreReportedMarkedOnlyWhenAskedFor) {
  file("a.txt");
  file("a.tmp");
  file("cache/x.txt");
  file("cache/deep/y.txt");
  file("docs/c.txt");
  FilterSet set = compiled({"*.tmp", "cache/"});
  filters = &set;
  EXPECT_EQ(sorted(walkTree()), sorted({"a.txt", "docs/c.txt"}));
  for (const WalkReport& report : walkReports) EXPECT_EQ(0, report.flags) << report.name;
  EXPECT_EQ(std::vector<std::string>{at("cache")}, walkExclusions);
  // Walked for their deletion: everything below an excluded folder is marked too,
  // and the folder is still named once.
  walkExcluded = 1;
  std::vector<std::string> paths = walkTree();
  EXPECT_EQ(sorted(paths),
            sorted({"a.txt", "a.tmp", "cache/x.txt", "cache/deep/y.txt", "docs/c.txt"}));
  for (size_t i = 0; i < paths.size(); ++i)
    EXPECT_EQ(paths[i] == "a.txt" || paths[i] == "docs/c.txt" ? 0 : entryExcluded,
              walkReports[i].flags)
        << paths[i];
  EXPECT_EQ(std::vector<std::string>{at("cache")}, walkExclusions);
}

TEST_F(FilteredWalk, PatternsSeeThePathBelowTheRootWithSlashes) {
  // The root's own path never takes part: a root named like an anchored pattern is
  // walked, and its names are matched from the root down.
  file("top/x/a.txt");
  file("top/x/b.dat");
  file("top/y/x/a.txt");
  file("top/top");
  FilterSet set = compiled({"/top", "/x/*.txt"});
  filters = &set;
  EXPECT_EQ(sorted(walkTree(at("top"))), sorted({"top/x/b.dat", "top/y/x/a.txt"}));
  FilterSet includes = compiled({}, {"/y/"});
  filters = &includes;
  EXPECT_EQ(walkTree(at("top")), std::vector<std::string>{"top/y/x/a.txt"});
  EXPECT_EQ(sorted(walkExclusions), sorted({at("top/x")}));
}
}  // namespace
