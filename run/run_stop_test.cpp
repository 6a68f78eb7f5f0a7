// Every reason for the program to stop before it changes anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <type_traits>
#include <utility>

#include "base/failure_report.h"
#include "run/run_fixture.h"

namespace {
const std::string separator(1, pathSeparator);

void ignoreEntry(void*, const char*, int, uint64_t, FileTime) {}

// The reason the system gives for not listing path, as the program must name it.
std::string listingReason(const std::string& path) {
  int code = 0;
  EXPECT_NE(enumerateListed,
            enumerateDirectory(path.c_str(), ignoreEntry, nullptr, nullptr, nullptr, &code));
  char reason[256];
  describeFailure(code, reason, sizeof reason);
  return reason;
}

class RunStopTest : public RunTest {
 protected:
  // Runs with the arguments and checks the stop: exit 2, one message line after the
  // banner (and after the run line, where the roots were taken), both trees untouched.
  void expectStop(const std::vector<std::string>& arguments, bool runLinePrinted = true) {
    std::map<std::string, std::string> sourceBefore = snapshot(source);
    std::map<std::string, std::string> destinationBefore = snapshot(destination);
    EXPECT_EQ(2, run(arguments)) << output;
    std::vector<std::string> printedLines = lines();
    size_t expectedLines = runLinePrinted ? 4 : 3;
    ASSERT_EQ(expectedLines, printedLines.size()) << output;
    EXPECT_EQ(0u, printedLines[0].find(bannerStart));
    EXPECT_EQ(runLinePrinted, printedLines[2].find("Mirroring source [") == 0) << output;
    EXPECT_FALSE(printedLines.back().empty());
    EXPECT_EQ('!', printedLines.back().back()) << printedLines.back();
    EXPECT_EQ(sourceBefore, snapshot(source));
    EXPECT_EQ(destinationBefore, snapshot(destination));
    EXPECT_FALSE(pathExists(joinPath(scratch, ".mirror_log")));
  }
};

TEST_F(RunStopTest, RootsInsideEachOther) {
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "inner"), "x"), "x"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "inner"), "y"), "y"));
  expectStop({joinPath(source, "inner"), source, "-l"});
  expectStop({destination, joinPath(destination, "inner"), "-l"});
  // Inside, as far as it exists: the copies would create the rest.
  expectStop({joinPath(joinPath(source, "new"), "deeper"), source});
  // Through links, which the copies would follow as well.
  std::string link = joinPath(scratch, "link");
  if (!makeSymlink(joinPath(source, "inner"), link)) return;
  expectStop({link, source});
  expectStop({joinPath(link, "new"), source});
  expectStop({destination, joinPath(joinPath(link, ".."), "..")});
}

TEST_F(RunStopTest, RootsMeetingUnderAnotherNameAreCaughtByIdentity) {
  // One folder mounted at two places: no comparison of names can tell.
  std::string place = joinPath(scratch, "place");
  ASSERT_TRUE(makeFolders(joinPath(source, "inner")));
  ASSERT_TRUE(makeFolders(place));
  if (!bindFolder(source, place)) GTEST_SKIP() << "cannot mount a folder at a second place here";
  expectStop({joinPath(place, "inner"), source});
  expectStop({source, joinPath(place, "inner")});
  expectStop({place, source});
  unmountFileSystem(place);
}

TEST_F(RunStopTest, ASubfolderMountedAtASecondPlaceIsFoundByTheListing) {
  // No name above either root shows it: only the listing of the other tree meets the
  // folder under its own identity.
  std::string place = joinPath(scratch, "place");
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "photos"), "img.jpg"), "only copy"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "sub"), "keep"), "keep"));
  ASSERT_TRUE(makeFolders(place));
  if (!bindFolder(joinPath(destination, "photos"), place))
    GTEST_SKIP() << "cannot mount a folder at a second place here";
  expectStop({destination, place});
  EXPECT_NE(std::string::npos, output.find("The source folder [" + place + separator +
                                           "] lies inside the destination folder [" + destination +
                                           separator + "] !\n"))
      << output;
  unmountFileSystem(place);
  ASSERT_TRUE(bindFolder(joinPath(source, "sub"), place));
  expectStop({place, source});
  EXPECT_NE(std::string::npos,
            output.find("The destination folder [" + place + separator +
                        "] lies inside the source folder [" + source + separator + "] !\n"))
      << output;
  // A destination still to be made, in a folder the source holds.
  expectStop({joinPath(joinPath(place, "new"), "deeper"), source});
  unmountFileSystem(place);
  ASSERT_TRUE(bindFolder(source, place));
  expectStop({joinPath(joinPath(place, "sub"), "new"), source});
  unmountFileSystem(place);
}

TEST_F(RunStopTest, TheSameFolderWrittenInAnyWay) {
  expectStop({source, source, "-l"});
  expectStop({source + separator, source});
  expectStop({joinPath(joinPath(scratch, "."), "src"), source});
  expectStop({"src", source});  // relative to the working folder
  expectStop({joinPath(joinPath(destination, ".."), "src"), "." + separator + "src"});
  if (makeSymlink(source, joinPath(scratch, "link")))
    expectStop({joinPath(scratch, "link"), source});
}

TEST_F(RunStopTest, ASourceThatCannotBeListed) {
  // An empty source listing would have every destination file deleted. The line
  // says why the system could not list it.
  std::string missing = joinPath(scratch, "missing");
  expectStop({destination, missing});
  EXPECT_EQ("Cannot list the source folder [" + missing + "] (" + listingReason(missing) +
                "): nothing was changed !",
            lines().back());
  std::string plain = joinPath(scratch, "plain");
  ASSERT_TRUE(writeFileBytes(plain, "a file"));
  expectStop({destination, plain});
  EXPECT_EQ("Cannot list the source folder [" + plain + "] (" + listingReason(plain) +
                "): nothing was changed !",
            lines().back());
  if (platformIsWindows) return;  // the system's own words differ there
  EXPECT_EQ("No such file or directory", listingReason(missing));
  EXPECT_EQ("Not a directory", listingReason(plain));
}

TEST_F(RunStopTest, RootsThatExistButCannotBeListed) {
  using Self = std::remove_pointer_t<decltype(this)>;
  // Permissions bind nobody privileged: then the program runs as an ordinary user.
  // A child without privileges tells what the run printed.
  static bool inChild = runningPrivileged();
  int (*body)(void*) = [](void* context) -> int {
    Self* test = static_cast<Self*>(context);
    int status = test->run({test->destination, test->source});
    if (inChild) fputs(test->output.c_str(), stdout);
    return status;
  };
  for (std::string* locked : {&destination, &source}) {
    std::map<std::string, std::string> sourceBefore = snapshot(source);
    std::map<std::string, std::string> destinationBefore = snapshot(destination);
    if (!setListable(*locked, false)) GTEST_SKIP() << "permissions cannot be taken here";
    std::string childOutput;
    int status =
        runningPrivileged() ? runUnprivileged(scratch, body, this, &childOutput) : body(this);
    setListable(*locked, true);
    if (status < 0) GTEST_SKIP() << "cannot run without privileges here";
    EXPECT_EQ(2, status) << *locked;
    std::string which = locked == &source ? "source" : "destination";
    if (!inChild) childOutput = output;
    EXPECT_NE(std::string::npos,
              childOutput.find("Cannot list the " + which + " folder [" + *locked +
                               "] (Permission denied): nothing was changed !\n"))
        << childOutput;
    EXPECT_EQ(sourceBefore, snapshot(source));
    EXPECT_EQ(destinationBefore, snapshot(destination));
  }
}

TEST_F(RunStopTest, ADestinationThatIsAFile) {
  std::string plain = joinPath(scratch, "plain");
  ASSERT_TRUE(writeFileBytes(plain, "a file"));
  expectStop({plain, source});
  EXPECT_EQ("Cannot list the destination folder [" + plain + "] (" + listingReason(plain) +
                "): nothing was changed !",
            lines().back());
  std::string bytes;
  ASSERT_TRUE(readFileBytes(plain, &bytes));
  EXPECT_EQ("a file", bytes);
}

TEST_F(RunStopTest, AnEmptyFolderArgumentOrAFileSystemRoot) {
  // Refused before anything else; the check of nested roots would stop these runs
  // too, but only after naming the whole file system as a root.
  expectStop({"", source}, false);
  expectStop({destination, ""}, false);
  expectStop({std::string(3, pathSeparator), source, "-l"}, false);
}

TEST_F(RunStopTest, AnUnknownLongOptionAfterTheFolders) {
  // A guess at an option must not be dropped: --dry-run would have mirrored for real.
  expectStop({destination, source, "--dry-run"}, false);
  const std::string known = "the long options are --no-sync, --workers=N";
  EXPECT_EQ(0u, lines().back().find("Unknown option [--dry-run]: " + known)) << output;
  expectStop({destination, source, "-v", "--no-sync", "--preview", "-l"}, false);
  EXPECT_EQ(0u, lines().back().find("Unknown option [--preview]: " + known)) << output;
}

TEST_F(RunStopTest, AWorkersNumberOutOfRange) {
  expectStop({destination, source, "--workers=0"}, false);
  EXPECT_TRUE(printed("Bad value [--workers=0]: --workers takes a whole number from 1 to 64 !"))
      << output;
  expectStop({destination, source, "--workers", "-v"}, false);
  EXPECT_TRUE(
      printed("Missing value [--workers]: --workers takes a whole number from 1 to 64, "
              "as --workers=N or --workers N !"))
      << output;
}

TEST_F(RunStopTest, ADashArgumentThatIsNoOption) {
  // Each of these once mirrored for real: rsync's dry run among them.
  ASSERT_TRUE(writeFileBytes(joinPath(destination, "precious"), "only here"));
  for (const char* slip : {"-n", "-x", "-V", "-h", "-", "--", "-dry-run"}) {
    expectStop({destination, source, slip, "-v", "-l"}, false);
    std::string expected = std::string("Unknown option [") + slip + "]: the ";
    expected += slip == std::string("--") ? "long options are --no-sync, --workers=N, "
                                          : "one-letter options are -v, -l, -p and -q !";
    EXPECT_EQ(0u, lines().back().find(expected)) << slip << ": " << lines().back();
  }
}

TEST_F(RunStopTest, AWordThatWouldDropThePreview) {
  // Read by their second character alone, these ran a real mirror (a file copied,
  // another deleted) where a preview was asked for.
  ASSERT_TRUE(writeFileBytes(joinPath(destination, "precious"), "only here"));
  const std::string why =
      "] would drop its -p (a one-letter option is read by its second character alone): write ";
  for (const auto& word : std::vector<std::pair<std::string, std::string>>{
           {"-vp", "-v -p"}, {"-lp", "-l -p"}, {"-vlp", "-v -l -p"}, {"-loop", "-l -p"}}) {
    expectStop({destination, source, word.first}, false);
    EXPECT_EQ("Option [" + word.first + why + word.second + " !", lines().back());
    expectStop({destination, source, "-v", "--no-sync", word.first}, false);
  }
  // -version was -v, and ran a real mirror; -help gets the same hint.
  expectStop({destination, source, "-version"}, false);
  EXPECT_EQ("Option [-version] is written --version and given alone: talven --version !",
            lines().back());
  expectStop({destination, source, "-p", "-help"}, false);
  EXPECT_EQ("Option [-help] is written --help and given alone: talven --help !", lines().back());
}

TEST_F(RunStopTest, AThirdFolderAfterTheTwo) {
  // talven backup data/*: the shell gave three folders.
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "music"), "m.mp3"), "m"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(source, "photos"), "p.jpg"), "p"));
  ASSERT_TRUE(writeFileBytes(joinPath(joinPath(destination, "photos"), "p.jpg"), "p"));
  std::string photos = joinPath(source, "photos");
  expectStop({destination, joinPath(source, "music"), photos, joinPath(source, "sub"), "-v"},
             false);
  EXPECT_EQ("Unexpected argument [" + photos +
                "]: give two folders, the folder to update and the source, then options !",
            lines().back());
}

TEST_F(RunStopTest, AFolderArgumentThatStartsWithADash) {
  // talven -v dst src once made a folder named -v and mirrored dst into it.
  expectStop({"-v", destination, source}, false);
  EXPECT_EQ(
      "The destination folder [-v] starts with a dash: give the two folders first, and a "
      "folder so named as ." +
          separator + "-v !",
      lines().back());
  expectStop({"--workers=2", destination, source}, false);
  expectStop({destination, "-l", source}, false);
  EXPECT_FALSE(pathExists(joinPath(scratch, "-v")));
  EXPECT_FALSE(pathExists(joinPath(scratch, "--workers=2")));
}

TEST_F(RunStopTest, TheOneLetterRuleStaysAndADashFolderIsGivenWithItsPath) {
  EXPECT_EQ(0, run({destination, source, "-verbose", "-vl", "--no-sync"})) << output;
  EXPECT_TRUE(printed("Thread 1 running - listing destination directory !")) << output;
  EXPECT_FALSE(pathExists(joinPath(scratch, ".mirror_log")));
  EXPECT_EQ(0, run({destination, source, "-log"})) << output;
  EXPECT_TRUE(pathExists(joinPath(scratch, ".mirror_log")));
  EXPECT_EQ(0, run({"." + separator + "--dst", source, "--workers", "2"})) << output;
  EXPECT_TRUE(pathExists(joinPath(joinPath(scratch, "--dst"), "new.txt")));
}

TEST_F(RunStopTest, AFolderArgumentTooLongForThePathBuffer) {
  if (platformIsWindows) GTEST_SKIP() << noRootTooLongOnWindows;
  std::string tooLong = joinPath(scratch, std::string(pathBufferSize, 'x'));
  expectStop({tooLong, source, "-l"}, false);
  expectStop({destination, tooLong, "-l"}, false);
}
}  // namespace
