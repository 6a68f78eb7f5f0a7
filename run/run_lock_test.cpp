// One run per destination: a second run, real or preview, is refused while a first
// one holds the destination, also one that its copies are still to create; a lock
// left by a run that died refuses nothing.
#include "run/run_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "run/end_to_end_fixture.h"

namespace {
std::promise<void>* lockTaken = nullptr;
std::shared_future<void>* mayGoOn = nullptr;

// Holds the first run right after it took its lock, until the test lets it go on.
void holdTheRun(void*) {
  lockTaken->set_value();
  mayGoOn->wait();
}

void killAtTheLock(void*) {
  killThisProcess();
}

std::string refusalOf(const std::string& destination) {
  return "Another run is mirroring into the destination folder [" + destination + "] !\n";
}

class RunLockTest : public InProcessMirrorTest {
 protected:
  void SetUp() override {
    InProcessMirrorTest::SetUp();
    writeFile(at({"src", "a.txt"}), "a", sourceUnits);
    writeFile(at({"src", "inner", "b.txt"}), "b", sourceUnits);
    writeFile(at({"dst", "stale.txt"}), "stale", olderUnits);
  }
  // Starts a run with options in this process and holds it at its lock; runs
  // whileHeld meanwhile, then lets it finish. Returns the first run's exit status.
  template <typename Body>
  int whileFirstRunHolds(const std::vector<std::string>& options, Body whileHeld) {
    std::promise<void> taken;
    std::promise<void> goOn;
    std::shared_future<void> goOnFuture = goOn.get_future().share();
    lockTaken = &taken;
    mayGoOn = &goOnFuture;
    seams.destinationLocked = holdTheRun;
    int status = -1;
    std::thread first([&] { status = runHere(options, &firstOutput); });
    bool held = taken.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_TRUE(held) << "the first run never took its lock";
    if (held) whileHeld();
    goOn.set_value();
    first.join();
    seams.destinationLocked = nullptr;
    return status;
  }
  // A second run, in its own process, must be refused and change nothing.
  void expectSecondRunRefused(const std::vector<std::string>& options) {
    TreeState destinationBefore = captureTree(destination);
    std::vector<std::string> arguments = {destination, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::string output;
    EXPECT_EQ(2, run(arguments, &output)) << output;
    size_t refusal = output.find(refusalOf(destination));
    EXPECT_NE(std::string::npos, refusal) << output;
    // The refusal is its last line: nothing was listed.
    EXPECT_EQ(output.size(), refusal + refusalOf(destination).size()) << output;
    expectUnchanged(destinationBefore, destination);
  }
  // In a child process: a run that dies, as by SIGKILL, while it holds its lock.
  static int runKilledAtItsLock(void* context) {
    RunLockTest* test = static_cast<RunLockTest*>(context);
    test->seams.destinationLocked = killAtTheLock;
    return test->runHere(&test->firstOutput);
  }
  std::string firstOutput;
};

TEST_F(RunLockTest, ASecondRunIsRefusedWhileTheFirstHoldsTheDestination) {
  int status = whileFirstRunHolds({"-v"}, [&] {
    expectSecondRunRefused({});
    expectSecondRunRefused({"-p", "-v"});
  });
  EXPECT_EQ(0, status) << firstOutput;
  expectMirror(destination, source);
  // Released with the end of the run: the next one goes ahead.
  std::string output;
  EXPECT_EQ(0, run({destination, source}, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Nothing to do, folders are equal !\n")) << output;
}

TEST_F(RunLockTest, APreviewHoldsTheDestinationToo) {
  TreeState destinationBefore = captureTree(destination);
  int status = whileFirstRunHolds({"-p"}, [&] { expectSecondRunRefused({}); });
  EXPECT_EQ(0, status) << firstOutput;
  expectUnchanged(destinationBefore, destination);
}

TEST_F(RunLockTest, TheLockOfARunThatDiedRefusesNothing) {
  int status = -1;
  std::string output;
  if (platformIsWindows) {
    // The lock's owner ends without giving it back, as a process that is ended does.
    std::thread owner([&] { status = lockDestination(destination.c_str()); });
    owner.join();
    ASSERT_EQ(destinationLocked, status);
  } else {
    status = runInChild(runKilledAtItsLock, this, false, &output, nullptr);
    if (status < 0) GTEST_SKIP() << "no fork here";
    ASSERT_EQ(137, status) << output;
  }
  EXPECT_EQ(0, run({destination, source}, &output)) << output;
  EXPECT_EQ(std::string::npos, output.find("Another run")) << output;
  expectMirror(destination, source);
  unlockDestination();
}

TEST_F(RunLockTest, ADestinationNotMadeYetIsHeldToo) {
  // The first run's copies are still to create it: a second run is refused before,
  // and after the folder came to be (made here, as those copies would make it).
  destination = at({"new", "deeper"});
  int status = whileFirstRunHolds({"-v"}, [&] {
    EXPECT_FALSE(pathExists(destination));
    expectSecondRunRefused({});
    ASSERT_TRUE(makeFolders(destination));
    expectSecondRunRefused({"-p"});
  });
  EXPECT_EQ(0, status) << firstOutput;
  expectMirror(destination, source);
}

TEST_F(RunLockTest, ADestinationNotMadeYetIsHeldUnderEveryNameOfItsFolder) {
  // The folder it is to be made in, mounted at a second place: no name of the second
  // run's destination is the first one's, its folder's identity is.
  std::string alias = at({"alias"});
  ASSERT_TRUE(makeFolders(at({"parent"})));
  ASSERT_TRUE(makeFolders(alias));
  if (!bindFolder(at({"parent"}), alias))
    GTEST_SKIP() << "cannot mount a folder at a second place here";
  mounted.push_back(alias);
  destination = at({"parent", "new"});
  std::string second = joinPath(alias, "new");
  auto expectRefused = [&](const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {second, source};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::string output;
    EXPECT_EQ(2, run(arguments, &output)) << output;
    EXPECT_NE(std::string::npos, output.find(refusalOf(second))) << output;
  };
  int status = whileFirstRunHolds({"-v"}, [&] {
    expectRefused({});
    ASSERT_TRUE(makeFolders(destination));
    expectRefused({"-p"});
  });
  EXPECT_EQ(0, status) << firstOutput;
  expectMirror(destination, source);
}

TEST_F(RunLockTest, ARunIntoAMissingDestinationMakesNothingBeforeItsCopies) {
  destination = at({"new", "deeper"});
  std::string output;
  EXPECT_EQ(0, runHere({"-p"}, &output)) << output;
  EXPECT_FALSE(pathExists(at({"new"})));
  source = at({"missing"});
  EXPECT_EQ(2, runHere({"-v"}, &output)) << output;
  EXPECT_FALSE(pathExists(at({"new"})));
}
}  // namespace
