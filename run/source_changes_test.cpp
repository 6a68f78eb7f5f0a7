// Whole runs whose source changes after the listing: a file removed is told as
// vanished, one rewritten never passes as current, one replaced by a named pipe never
// holds the run, and no file stays open after a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "run/end_to_end_fixture.h"
#include "run/run.h"

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
  // The removed file vanished: told, and no failure.
  EXPECT_EQ(0, status) << output;
  EXPECT_FALSE(pathExists(at({"dst", "f05"})));
  EXPECT_NE(std::string::npos, output.find("Vanished from the source since it was listed [" +
                                           at({"src", "f05"}) + "]\n"))
      << output;
  // The rewritten file must not pass for current with its new bytes.
  TreeState copied = captureTree(destination);
  TreeState now = captureTree(source);
  if (copied.count("f07") && !(copied["f07"] == now["f07"])) {
    EXPECT_LT(copied["f07"].lastWrite, now["f07"].lastWrite);
  }
  EXPECT_EQ(0, runHere(&output)) << output;
  expectMirror(destination, source);
}

// Frees a run that waits on named pipes nobody writes to: past each deadline, whoever
// waits in opening them for reading goes on and reads their end. Tells whether it had
// to.
class PipeWatchdog {
 public:
  explicit PipeWatchdog(std::vector<std::string> pipes)
      : pipes_(std::move(pipes)), thread_([this] { watch(); }) {}
  ~PipeWatchdog() { stop(); }
  // Called once the run ended: true when it could only end thanks to the watchdog.
  bool stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ended_ = true;
    }
    woken_.notify_all();
    if (thread_.joinable()) thread_.join();
    return freed_;
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!woken_.wait_for(hold, std::chrono::seconds(10), [this] { return ended_; }))
      for (const std::string& pipe : pipes_) freed_ = unblockPipeReaders(pipe) || freed_;
  }
  std::vector<std::string> pipes_;
  std::mutex lock_;
  std::condition_variable woken_;
  bool ended_ = false;
  bool freed_ = false;
  std::thread thread_;
};

std::vector<std::string> pipedSources;
// Once the listings are over, the listed files become named pipes.
void turnSourcesIntoPipes(void*) {
  for (const std::string& path : pipedSources)
    if (deleteFile(path.c_str()) != 0 || !makeFifo(path)) ADD_FAILURE() << "no pipe at " << path;
}

TEST_F(SourceChanges, FileTurnedIntoAPipeFailsAloneWithoutHoldingTheRun) {
  if (platformIsWindows) GTEST_SKIP() << "the test makes POSIX named pipes";
  for (int number = 0; number < 10; ++number) {
    std::string name = "f" + std::to_string(number);
    writeFile(at({"src", "sub", name}), "file " + name, sourceUnits);
  }
  // One the destination lacks, and one update whose older file must stay as it is.
  writeFile(at({"src", "new.bin"}), "listed as a file", sourceUnits);
  writeFile(at({"src", "sub", "updated.bin"}), "listed as a file", sourceUnits);
  writeFile(at({"dst", "sub", "updated.bin"}), "older", olderUnits);
  pipedSources = {at({"src", "new.bin"}), at({"src", "sub", "updated.bin"})};
  seams.scansEnded = turnSourcesIntoPipes;
  std::string output, errors;
  PipeWatchdog watchdog(pipedSources);
  int status = runHere({}, &output, &errors);
  ASSERT_FALSE(watchdog.stop()) << "the run waited for someone to write to a pipe";
  EXPECT_EQ(exitSomeFailed, status) << output;
  // One line for each of them, and nothing else.
  EXPECT_EQ(2, std::count(errors.begin(), errors.end(), '\n')) << errors;
  for (const std::string& path : pipedSources)
    EXPECT_NE(std::string::npos, errors.find("Could not read the source file [" + path +
                                             "]: it is not a regular file\n"))
        << errors;
  // The pipes gone, the destination holds every other file and the older one as it was.
  for (const std::string& path : pipedSources) ASSERT_EQ(0, deleteFile(path.c_str()));
  TreeState copied = captureTree(destination);
  ASSERT_EQ(1u, copied.count(joinPath("sub", "updated.bin")));
  EXPECT_TRUE((FileState{"older", olderUnits}) == copied[joinPath("sub", "updated.bin")]);
  copied.erase(joinPath("sub", "updated.bin"));
  TreeState wanted = captureTree(source);
  EXPECT_TRUE(wanted == copied) << treeDifference(wanted, copied);
  // Files again: the next run mirrors them.
  for (const std::string& path : pipedSources) writeFile(path, "a file again", sourceUnits + 1);
  seams.scansEnded = nullptr;
  EXPECT_EQ(exitSuccess, runHere({}, &output)) << output;
  expectMirror(destination, source);
}
}  // namespace
