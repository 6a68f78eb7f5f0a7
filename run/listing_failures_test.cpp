// A folder below a root that could not be listed is a failure of the run: it gets its
// line on standard error, with the system's reason, with or without -v.
#include <gtest/gtest.h>

#include <cstdio>
#include <type_traits>

#include "base/failure_report.h"
#include "run/end_to_end_fixture.h"

namespace {
void ignoreEntry(void*, const char*, int, uint64_t, FileTime) {}

// The reason the system gives now for not listing path.
std::string listingReason(const std::string& path) {
  int code = 0;
  enumerateDirectory(path.c_str(), ignoreEntry, nullptr, nullptr, nullptr, &code);
  char reason[256];
  describeFailure(code, reason, sizeof reason);
  return reason;
}

class FolderGoneTest : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    writeFile(at({"src", "dir", "a.txt"}), "a", sourceUnits);
    dir = at({"src", "dir"});
    gone = at({"src", "dir", "gone"});
    // Listed by its folder's listing, removed before its own: it cannot be listed then.
    seams.scan.folderListed = [](void* context, const char* folder) {
      FolderGoneTest* test = static_cast<FolderGoneTest*>(context);
      if (folder == test->dir) test->removed = removeFolderTree(test->gone);
    };
    seams.scan.context = this;
  }
  std::string dir, gone;
  bool removed = false;
};

TEST_F(FolderGoneTest, AFolderThatCouldNotBeListedIsAFailureWithOrWithoutVerbose) {
  for (bool verbose : {false, true}) {
    destination = at({verbose ? "dst-v" : "dst"});
    writeFile(joinPath(destination, "stale.txt"), "only in the destination", olderUnits);
    writeFile(joinPath(gone, "inside.txt"), "inside", sourceUnits);
    removed = false;
    std::string output, errors;
    int status = runHere(verbose ? std::vector<std::string>{"-v"} : std::vector<std::string>{},
                         &output, &errors);
    ASSERT_TRUE(removed);
    EXPECT_EQ(1, status) << output;
    EXPECT_EQ("Could not list the folder [" + gone + "]: " + listingReason(gone) + "\n", errors)
        << verbose;
    // Nothing is deleted on an incomplete listing, as before.
    EXPECT_NE(std::string::npos,
              output.find("No file was deleted: the source folder could not be listed "
                          "completely !\n"))
        << output;
    EXPECT_TRUE(pathExists(joinPath(destination, "stale.txt")));
    EXPECT_TRUE(pathExists(joinPath(joinPath(destination, "dir"), "a.txt")));
    // The -v line stays as it was.
    EXPECT_EQ(verbose, output.find("Skipped [" + gone +
                                   "]: folder could not be listed whole !\n") != std::string::npos)
        << output;
  }
  if (platformIsWindows) return;  // the system's own words differ there
  EXPECT_EQ("No such file or directory", listingReason(gone));
}

using UnlistableFolderTest = EndToEndTest;

TEST_F(UnlistableFolderTest, AFolderThatMayNotBeListedIsAFailureLine) {
  using Self = std::remove_pointer_t<decltype(this)>;
  writeFile(at({"src", "a.txt"}), "a", sourceUnits);
  writeFile(at({"src", "locked", "b.txt"}), "b", sourceUnits);
  if (!setListable(at({"src", "locked"}), false))
    GTEST_SKIP() << "permissions cannot be taken here";
  // Permissions bind nobody privileged: then the program runs as an ordinary user, and
  // the child tells what it printed on both streams.
  static bool inChild = runningPrivileged();
  static std::string output, errors;
  int (*body)(void*) = [](void* context) -> int {
    Self* test = static_cast<Self*>(context);
    int status = runProgramWithErrors({test->at({"dst"}), test->at({"src"})}, test->scratch,
                                      test->at({"errors.txt"}), &output, &errors);
    if (inChild) printf("%s", errors.c_str());
    return status;
  };
  std::string childOutput;
  int status = inChild ? runUnprivileged(scratch, body, this, &childOutput) : body(this);
  setListable(at({"src", "locked"}), true);
  if (status < 0) GTEST_SKIP() << "cannot run without privileges here";
  if (inChild) errors = childOutput;
  EXPECT_EQ(1, status) << errors;
  EXPECT_EQ("Could not list the folder [" + at({"src", "locked"}) + "]: Permission denied\n",
            errors);
}
}  // namespace
