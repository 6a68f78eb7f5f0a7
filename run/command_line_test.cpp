#include "run/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "run/settings.h"

namespace {
const std::string separator(1, pathSeparator);

// Reads the options from a command line given without the program name.
void readOptionsOf(std::vector<std::string> arguments) {
  resetRunSettings();
  arguments.insert(arguments.begin(), "talven");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  readOptions(static_cast<int>(arguments.size()), argv.data());
}

void expectFlags(int32_t v, int32_t l, int32_t p) {
  EXPECT_EQ(v, verbose);
  EXPECT_EQ(l, logEnabled);
  EXPECT_EQ(p, previewOnly);
}

TEST(CommandLine, OptionsAreSetByTheirSecondCharacter) {
  readOptionsOf({"dst", "src", "-v", "-l", "-p"});
  expectFlags(1, 1, 1);
  readOptionsOf({"dst", "src", "-l"});
  expectFlags(0, 1, 0);
  readOptionsOf({"dst", "src", "-p", "-p"});
  expectFlags(0, 0, 1);
  readOptionsOf({"dst", "src"});
  expectFlags(0, 0, 0);
  resetRunSettings();
}

TEST(CommandLine, NoSyncIsALongOptionAfterTheFolders) {
  readOptionsOf({"dst", "src", "--no-sync", "-v"});
  expectFlags(1, 0, 0);
  EXPECT_EQ(1, noSync);
  // Folders so named, a near miss and the one-letter rule leave it off.
  readOptionsOf({"--no-sync", "--no-sync", "--no-syncs", "--nosync", "-n", "-no-sync"});
  expectFlags(0, 0, 0);
  EXPECT_EQ(0, noSync);
  resetRunSettings();
}

// Index of the unknown long option findUnknownLongOption names in a command line
// given without the program name (0: none).
int unknownLongOptionOf(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "talven");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  return findUnknownLongOption(static_cast<int>(arguments.size()), argv.data());
}

TEST(CommandLine, AGuessedLongOptionAfterTheFoldersIsFound) {
  EXPECT_EQ(3, unknownLongOptionOf({"dst", "src", "--dry-run"}));
  EXPECT_EQ(5, unknownLongOptionOf({"dst", "src", "-v", "--no-sync", "--preview", "--x"}));
  // Near misses of a known one, and a lone letter after two dashes, are unknown too.
  EXPECT_EQ(3, unknownLongOptionOf({"dst", "src", "--no-sync=1"}));
  EXPECT_EQ(3, unknownLongOptionOf({"dst", "src", "--NO-SYNC"}));
  EXPECT_EQ(3, unknownLongOptionOf({"dst", "src", "--v"}));
  EXPECT_EQ(3, unknownLongOptionOf({"dst", "src", "---"}));
}

TEST(CommandLine, TheOneLetterRuleAndTheFoldersAreNoLongOptions) {
  EXPECT_EQ(0, unknownLongOptionOf({"dst", "src"}));
  EXPECT_EQ(0, unknownLongOptionOf({"dst", "src", "--no-sync", "-verbose", "-x", "--", "-", ""}));
  EXPECT_EQ(0, unknownLongOptionOf({"--dst", "--src", "-p"}));
}

TEST(CommandLine, TheRefusalNamesTheArgumentAndEveryLongOption) {
  ::testing::internal::CaptureStdout();
  reportUnknownLongOption("--dry-run");
  std::string printed = ::testing::internal::GetCapturedStdout();
  std::string known;
  for (int k = 0; k < longOptionCount; ++k)
    known += (k ? ", " : "") + std::string(longOptions[k].name) + (longOptions[k].most ? "=N" : "");
  EXPECT_EQ("Unknown option [--dry-run]: the long options are " + known + " !\n", printed);
  EXPECT_NE(std::string::npos, printed.find("--no-sync, --workers=N"));
}

int badValueOf(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "talven");
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  return findBadLongOptionValue(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, WorkersTakeAWholeNumberInRange) {
  resetRunSettings();
  std::vector<std::string> arguments = {"talven", "dst", "src", "--workers=12"};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  readOptions(4, argv.data());
  EXPECT_EQ(12, copyWorkers);
  EXPECT_EQ(0, unknownLongOptionOf({"dst", "src", "--workers=1"}));
  EXPECT_EQ(0, badValueOf({"dst", "src", "--workers=1", "--workers=64"}));
  // Without its number, or with one out of range or not whole, it is refused.
  for (const char* bad : {"--workers=", "--workers=0", "--workers=65", "--workers=2x",
                          "--workers=-1", "--workers=99999999999"})
    EXPECT_EQ(3, badValueOf({"dst", "src", bad})) << bad;
  // The bare name is no option at all.
  EXPECT_EQ(3, unknownLongOptionOf({"dst", "src", "--workers"}));
  ::testing::internal::CaptureStdout();
  reportBadLongOptionValue("--workers=0");
  EXPECT_EQ("Bad value [--workers=0]: --workers takes a whole number from 1 to 64 !\n",
            ::testing::internal::GetCapturedStdout());
  resetRunSettings();
}

TEST(CommandLine, OnlyTheSecondCharacterCounts) {
  readOptionsOf({"dst", "src", "-verbose"});
  expectFlags(1, 0, 0);
  readOptionsOf({"dst", "src", "-vl"});
  expectFlags(1, 0, 0);
  readOptionsOf({"dst", "src", "-lp"});
  expectFlags(0, 1, 0);
  resetRunSettings();
}

TEST(CommandLine, OtherArgumentsAreIgnored) {
  readOptionsOf({"dst", "src", "-x"});
  expectFlags(0, 0, 0);
  readOptionsOf({"dst", "src", "-", "v", "l", "--v", "-V", "-L", "-P", ""});
  expectFlags(0, 0, 0);
  resetRunSettings();
}

TEST(CommandLine, FolderArgumentsAreScannedForOptionsToo) {
  readOptionsOf({"-v", "src"});
  expectFlags(1, 0, 0);
  readOptionsOf({"dst", "-p"});
  expectFlags(0, 0, 1);
  resetRunSettings();
}

TEST(CommandLine, TrailingSeparatorsAreRemoved) {
  char root[pathBufferSize];
  ASSERT_EQ(rootTaken, takeRoot(root, ("dst" + separator + separator).c_str()));
  EXPECT_STREQ("dst", root);
  ASSERT_EQ(rootTaken, takeRoot(root, ("a" + separator + "b" + separator).c_str()));
  EXPECT_EQ("a" + separator + "b", std::string(root));
  ASSERT_EQ(rootTaken, takeRoot(root, "plain"));
  EXPECT_STREQ("plain", root);
  if (platformIsWindows) {
    // Both separators count there, in any mix.
    ASSERT_EQ(rootTaken, takeRoot(root, "C:/src/\\/"));
    EXPECT_STREQ("C:/src", root);
  }
}

TEST(CommandLine, RootsOfNothingButSeparatorsAreRefused) {
  char root[pathBufferSize] = "untouched";
  EXPECT_EQ(rootEmpty, takeRoot(root, separator.c_str()));
  EXPECT_EQ(rootEmpty, takeRoot(root, (separator + separator + separator).c_str()));
  EXPECT_EQ(rootEmpty, takeRoot(root, ""));
}

TEST(CommandLine, RootsTooLongForTheBufferAreRefused) {
  char root[pathBufferSize + 8];
  std::string longest(static_cast<size_t>(pathBufferSize - 1), 'x');
  ASSERT_EQ(rootTaken, takeRoot(root, longest.c_str()));
  EXPECT_EQ(longest, std::string(root));
  // The terminator would not fit; the buffer around it stays as it was.
  memset(root, 'A', sizeof root);
  std::string tooLong(static_cast<size_t>(pathBufferSize), 'x');
  EXPECT_EQ(rootTooLong, takeRoot(root, tooLong.c_str()));
  EXPECT_EQ(rootTooLong, takeRoot(root, (tooLong + "yyyy").c_str()));
  for (size_t i = 0; i < sizeof root; ++i) ASSERT_EQ('A', root[i]) << i;
}

TEST(CommandLine, UsageStatusIsThePrintedLengthWithin1To255) {
  ::testing::internal::CaptureStdout();
  int status = printUsage("talven");
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ("Usage: talven folder_to_update source_folder [options]\n", printed);
  EXPECT_EQ(static_cast<int>(printed.size()), status);
  // An exit status keeps 8 bits: a longer line must not wrap round to 0 or near it.
  std::string longName(300, 'n');
  ::testing::internal::CaptureStdout();
  status = printUsage(longName.c_str());
  printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(255, status);
  EXPECT_EQ(longName.size() + 49, printed.size());
  ::testing::internal::CaptureStdout();
  status = printUsage("");
  printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(static_cast<int>(printed.size()), status);
  EXPECT_GT(status, 0);
}
}  // namespace
