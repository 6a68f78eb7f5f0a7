#include "run/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/settings.h"
#include "scan/run_filters.h"

namespace {
const std::string separator(1, pathSeparator);

// The arguments of one run, given without the program name, as the program gets them.
struct CommandLine {
  explicit CommandLine(std::vector<std::string> words) : arguments(std::move(words)) {
    arguments.insert(arguments.begin(), "talven");
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
  }
  std::vector<std::string> arguments;
  std::vector<char*> argv;
};

// The settings and patterns the last call read.
RunSettings readSettings;
RunFilters readFilters;

// Reads the arguments into fresh settings; printed receives what it printed. Returns
// readArguments' result. The settings stay as read until the next call.
int readArgumentsOf(const std::vector<std::string>& words, std::string* printed = nullptr) {
  // Text options point into the arguments: they live until the next call.
  static std::unique_ptr<CommandLine> line;
  line.reset(new CommandLine(words));
  resetRunSettings(&readSettings);
  readFilters = RunFilters();
  ::testing::internal::CaptureStdout();
  int result = readArguments(static_cast<int>(line->arguments.size()), line->argv.data(),
                             &readSettings, &readFilters);
  std::string text = ::testing::internal::GetCapturedStdout();
  if (printed) *printed = text;
  return result;
}

// The one line that refuses the arguments; empty when they were taken.
std::string refusalOf(const std::vector<std::string>& words) {
  std::string printed;
  int result = readArgumentsOf(words, &printed);
  EXPECT_EQ(result != 0, !printed.empty()) << printed;
  EXPECT_EQ(printed.find('\n'), printed.empty() ? std::string::npos : printed.size() - 1)
      << "one line: " << printed;
  return printed;
}

// The long options as the refusal of an unknown one lists them.
std::string knownLongOptions() {
  std::string known;
  for (int k = 0; k < longOptionCount; ++k)
    known += (k ? ", " : "") + std::string(longOptions[k].name) +
             (longOptions[k].valueName ? "=" + std::string(longOptions[k].valueName) : "");
  return known;
}

void expectFlags(int32_t v, int32_t l, int32_t p) {
  EXPECT_EQ(v, readSettings.verbose);
  EXPECT_EQ(l, readSettings.logEnabled);
  EXPECT_EQ(p, readSettings.previewOnly);
}

TEST(CommandLine, OptionsAreSetByTheirSecondCharacter) {
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-v", "-l", "-p"}));
  expectFlags(1, 1, 1);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-l"}));
  expectFlags(0, 1, 0);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-p", "-p"}));
  expectFlags(0, 0, 1);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src"}));
  expectFlags(0, 0, 0);
  // Characters after the second are not looked at.
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-verbose"}));
  expectFlags(1, 0, 0);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-vl"}));
  expectFlags(1, 0, 0);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-log", "-preview"}));
  expectFlags(0, 1, 1);
  EXPECT_EQ(0, readSettings.quiet);
  // A p first is the preview, whatever follows it.
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-pv"}));
  expectFlags(0, 0, 1);
  for (const char* quiet : {"-q", "-quiet", "--quiet"}) {
    ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-l", quiet, "-p"})) << quiet;
    expectFlags(0, 1, 1);
    EXPECT_EQ(1, readSettings.quiet) << quiet;
  }
}

TEST(CommandLine, AWordThatWouldDropThePreviewIsRefused) {
  // Read by their second character, these ran a real mirror where a preview was meant.
  const std::string why =
      "would drop its -p (a one-letter option is read by its second "
      "character alone): write ";
  EXPECT_EQ("Option [-vp] " + why + "-v -p !\n", refusalOf({"dst", "src", "-vp"}));
  EXPECT_EQ("Option [-lp] " + why + "-l -p !\n", refusalOf({"dst", "src", "-v", "-lp"}));
  EXPECT_EQ("Option [-vlp] " + why + "-v -l -p !\n", refusalOf({"dst", "src", "-vlp"}));
  EXPECT_EQ("Option [-qp] " + why + "-q -p !\n", refusalOf({"dst", "src", "-qp"}));
  // Any p after the second character counts, in whatever word it stands.
  EXPECT_EQ("Option [-loop] " + why + "-l -p !\n", refusalOf({"dst", "src", "-loop"}));
  EXPECT_EQ("Option [-vpvp] " + why + "-v -p !\n", refusalOf({"dst", "src", "-vpvp"}));
  // Long options written with one dash: -version would have been -v.
  EXPECT_EQ("Option [-version] is written --version and given alone: talven --version !\n",
            refusalOf({"dst", "src", "-version"}));
  EXPECT_EQ("Option [-help] is written --help and given alone: talven --help !\n",
            refusalOf({"dst", "src", "-l", "-help"}));
  // Without a p after it the second character keeps its rule.
  for (const char* taken : {"-verbose", "-vl", "-vers", "-P"}) {
    std::string printed;
    int result = readArgumentsOf({"dst", "src", taken}, &printed);
    EXPECT_EQ(taken == std::string("-P"), result != 0) << taken << ": " << printed;
  }
}

TEST(CommandLine, VerboseAndQuietAreRefusedTogether) {
  EXPECT_EQ("Options [-v] and [-q] ask for opposites: give one or the other !\n",
            refusalOf({"dst", "src", "-v", "-q"}));
  EXPECT_EQ("Options [-verbose] and [--quiet] ask for opposites: give one or the other !\n",
            refusalOf({"dst", "src", "--quiet", "-l", "-verbose"}));
}

TEST(CommandLine, QuietIsSeenBeforeTheArgumentsAreRead) {
  // The banner comes before the arguments are read: it must know a quiet run first.
  auto quiet = [](std::vector<std::string> words) {
    CommandLine line(std::move(words));
    return asksForQuiet(static_cast<int>(line.arguments.size()), line.argv.data());
  };
  EXPECT_EQ(1, quiet({"dst", "src", "-v", "-q"}));
  EXPECT_EQ(1, quiet({"dst", "src", "--quiet"}));
  EXPECT_EQ(1, quiet({"dst", "src", "-quiet", "--no-sync"}));
  EXPECT_EQ(0, quiet({"dst", "src", "-v", "--quiet=1x", "-x"}));
  EXPECT_EQ(0, quiet({"-q", "src", "dst"}));
  EXPECT_EQ(0, quiet({"dst", "src", "q", "--q"}));
}

TEST(CommandLine, NoSyncIsALongOptionAfterTheFolders) {
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--no-sync", "-v"}));
  expectFlags(1, 0, 0);
  EXPECT_EQ(1, readSettings.noSync);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-v"}));
  EXPECT_EQ(0, readSettings.noSync);
}

TEST(CommandLine, YesIsASwitchAndNoLetterStandsForIt) {
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-v", "--yes"}));
  EXPECT_EQ(1, readSettings.assumeYes);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "-v"}));
  EXPECT_EQ(0, readSettings.assumeYes);
  EXPECT_EQ("Bad value [--yes=n]: --yes takes no value !\n", refusalOf({"dst", "src", "--yes=n"}));
  // Answering for the person is asked for in full: -y is a slip.
  EXPECT_EQ(0u, refusalOf({"dst", "src", "-y"}).find("Unknown option [-y]"));
}

TEST(CommandLine, ADashArgumentThatIsNoOptionIsRefused) {
  // rsync's dry run, and other slips that once mirrored for real.
  for (const char* slip : {"-n", "-x", "-V", "-h", "-", "-dry-run", "-L", "-P"})
    EXPECT_EQ("Unknown option [" + std::string(slip) +
                  "]: the one-letter options are -v, -l, -p and -q !\n",
              refusalOf({"dst", "src", "-v", slip, "-p"}))
        << slip;
  EXPECT_EQ("Unknown option [--]: the long options are " + knownLongOptions() + " !\n",
            refusalOf({"dst", "src", "--"}));
}

TEST(CommandLine, AThirdFolderOrAnyWordIsRefused) {
  // talven backup data/* with three folders in data.
  EXPECT_EQ("Unexpected argument [data" + separator +
                "photos]: give two folders, the folder to update and the source, then options !\n",
            refusalOf({"backup", "data" + separator + "music", "data" + separator + "photos",
                       "data" + separator + "videos"}));
  EXPECT_EQ(
      "Unexpected argument [v]: give two folders, the folder to update and the source, "
      "then options !\n",
      refusalOf({"dst", "src", "-l", "v"}));
  EXPECT_NE("", refusalOf({"dst", "src", ""}));
}

TEST(CommandLine, AFolderThatStartsWithADashIsRefused) {
  EXPECT_EQ(
      "The destination folder [-v] starts with a dash: give the two folders first, and a "
      "folder so named as ." +
          separator + "-v !\n",
      refusalOf({"-v", "dst", "src"}));
  EXPECT_EQ(
      "The source folder [--workers=2] starts with a dash: give the two folders first, "
      "and a folder so named as ." +
          separator + "--workers=2 !\n",
      refusalOf({"dst", "--workers=2", "src"}));
  EXPECT_NE("", refusalOf({"-", "src"}));
  // Given as the refusal says, such a folder is taken.
  EXPECT_EQ("", refusalOf({"." + separator + "-v", "src", "-v"}));
}

TEST(CommandLine, AnUnknownLongOptionIsRefusedNamingTheKnownOnes) {
  std::string known = knownLongOptions();
  EXPECT_NE(std::string::npos, known.find("--no-sync, --workers=N"));
  for (const char* guess : {"--dry-run", "--NO-SYNC", "--v", "---", "--no-syncs", "--worker=2"})
    EXPECT_EQ("Unknown option [" + std::string(guess) + "]: the long options are " + known + " !\n",
              refusalOf({"dst", "src", "-v", guess}))
        << guess;
  EXPECT_EQ("Bad value [--no-sync=1]: --no-sync takes no value !\n",
            refusalOf({"dst", "src", "--no-sync=1"}));
}

TEST(CommandLine, ANumberFollowsItsNameAfterEqualsOrApart) {
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--workers=12"}));
  EXPECT_EQ(12, readSettings.copyWorkers);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--workers", "7", "-v"}));
  EXPECT_EQ(7, readSettings.copyWorkers);
  expectFlags(1, 0, 0);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--workers=1", "--workers", "64"}));
  EXPECT_EQ(64, readSettings.copyWorkers);
}

TEST(CommandLine, ANumberMissingOrOutOfRangeIsRefused) {
  for (const char* bad : {"--workers=", "--workers=0", "--workers=65", "--workers=2x",
                          "--workers=-1", "--workers=99999999999", "--workers= 2"})
    EXPECT_EQ(
        "Bad value [" + std::string(bad) + "]: --workers takes a whole number from 1 to 64 !\n",
        refusalOf({"dst", "src", bad}))
        << bad;
  EXPECT_EQ("Bad value [--workers 0]: --workers takes a whole number from 1 to 64 !\n",
            refusalOf({"dst", "src", "--workers", "0"}));
  // Nothing after it, or an option: a value apart never starts with a dash.
  const std::string missing =
      "Missing value [--workers]: --workers takes a whole number from 1 "
      "to 64, as --workers=N or --workers N !\n";
  EXPECT_EQ(missing, refusalOf({"dst", "src", "--workers"}));
  EXPECT_EQ(missing, refusalOf({"dst", "src", "--workers", "-v"}));
  EXPECT_EQ(missing, refusalOf({"dst", "src", "--workers", "-2"}));
}

TEST(CommandLine, BackupKeepTakesACountAndNeedsTheBackupFolder) {
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--backup-dir=bk", "--backup-keep", "30"}));
  EXPECT_EQ(30, readSettings.backupKeep);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--backup-keep=1", "--backup-dir", "bk"}));
  EXPECT_EQ(1, readSettings.backupKeep);
  for (const char* bad : {"--backup-keep=0", "--backup-keep=10001", "--backup-keep=x"})
    EXPECT_EQ("Bad value [" + std::string(bad) +
                  "]: --backup-keep takes a whole number from 1 to 10000 !\n",
              refusalOf({"dst", "src", "--backup-dir=bk", bad}))
        << bad;
  EXPECT_EQ("Option [--backup-keep] keeps run folders of --backup-dir: give --backup-dir too !\n",
            refusalOf({"dst", "src", "--backup-keep=3"}));
}

TEST(CommandLine, ExactTakesEveryPartAndPreserveTheListedOnes) {
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--exact"}));
  EXPECT_EQ(preserveAll, readSettings.preserve);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--preserve=links,older", "--preserve", "folders"}));
  EXPECT_EQ(preserveLinks | preserveOlder | preserveFolders, readSettings.preserve);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src", "--preserve=mode,owner,xattrs,acls,attributes"}));
  EXPECT_EQ(preserveMode | preserveOwner | preserveXattrs | preserveAcls | preserveAttributes,
            readSettings.preserve);
  ASSERT_EQ(0, readArgumentsOf({"dst", "src"}));
  EXPECT_EQ(0, readSettings.preserve);
  for (const char* bad : {"--preserve=links,,older", "--preserve=link", "--preserve=links,",
                          "--preserve=", "--preserve=LINKS"})
    EXPECT_EQ("Bad value [" + std::string(bad) +
                  "]: --preserve takes a list of links, hardlinks, folders, older, mode, owner, "
                  "xattrs, acls and attributes !\n",
              refusalOf({"dst", "src", bad}))
        << bad;
  EXPECT_EQ("Bad value [--exact=1]: --exact takes no value !\n",
            refusalOf({"dst", "src", "--exact=1"}));
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
