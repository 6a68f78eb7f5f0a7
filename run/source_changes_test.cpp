// Whole runs whose source changes once the copies have begun: a file removed fails
// alone and is told, one rewritten never passes as current, and no file stays open
// after a run.
#include <gtest/gtest.h>

#include <string>

#include "run/end_to_end_fixture.h"
#include "run/run.h"
#include "run/settings.h"

#if defined(__linux__)
#include <dirent.h>
#endif

namespace {
// Open descriptors of this process, or -1 where they cannot be counted.
int openDescriptors() {
#if defined(__linux__)
  DIR* folder = opendir("/proc/self/fd");
  if (!folder) return -1;
  int count = 0;
  while (readdir(folder)) ++count;
  closedir(folder);
  return count;
#else
  return -1;
#endif
}

std::string changedSource;
// On the first step of the first copy, files still to be copied change: one is
// removed, one rewritten in place.
void changeFilesAhead(void*, long long) {
  if (changedSource.empty()) return;
  deleteFile(joinPath(changedSource, "f05").c_str());
  writeFileBytes(joinPath(changedSource, "f07"), "rewritten after the hint");
  changedSource.clear();
}

using SourceChanges = InProcessMirrorTest;

TEST_F(SourceChanges, SourceChangingDuringTheCopiesLeavesNoFileOpen) {
  // One folder: its files are copied one after another, the first before the others.
  for (int number = 0; number < 20; ++number) {
    std::string name = (number < 10 ? "f0" : "f") + std::to_string(number);
    writeFile(at({"src", name}), "file " + name, sourceUnits);
  }
  int descriptors = openDescriptors();
  changedSource = source;
  seams.copy.blockDone = changeFilesAhead;
  std::string output;
  int status = runHere(&output);
  seams.copy.blockDone = nullptr;
  EXPECT_TRUE(changedSource.empty()) << "the hook never ran";
  EXPECT_EQ(descriptors, openDescriptors()) << "a file stayed open";
  // The removed file fails alone, and the run says so.
  EXPECT_EQ(1, status) << output;
  EXPECT_FALSE(pathExists(at({"dst", "f05"})));
  // The rewritten file must not pass for current with its new bytes.
  TreeState copied = captureTree(destination);
  TreeState now = captureTree(source);
  if (copied.count("f07") && !(copied["f07"] == now["f07"])) {
    EXPECT_LT(copied["f07"].lastWrite, now["f07"].lastWrite);
  }
  EXPECT_EQ(0, runHere(&output)) << output;
  expectMirror(destination, source);
}
}  // namespace
