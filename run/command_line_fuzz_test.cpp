// The command-line fuzz check on a few thousand random inputs, fixed seed.
#include "run/command_line_fuzz.h"

#include <gtest/gtest.h>

#include "platform/fuzz_input.h"

TEST(CommandLineRandom, RootsAndOptionsObeyTheirRules) {
  std::mt19937 random(5003);
  // The refusals' lines are not what is checked here.
  testing::internal::CaptureStdout();
  for (int round = 0; round < 3000; ++round) {
    std::string input = randomFuzzInput(random, 100);
    ASSERT_EQ("", checkCommandLine(fuzzBytes(input), input.size())) << "round " << round;
  }
  // Arguments one byte on either side of the limit, bare and with trailing separators.
  for (int extra = 0; extra < 6; ++extra)
    for (const char* tail : {"", "/", "//", "\\"}) {
      std::string input = std::string("\x01") + static_cast<char>(extra) + "a" + tail;
      ASSERT_EQ("", checkCommandLine(fuzzBytes(input), input.size())) << extra << tail;
    }
  testing::internal::GetCapturedStdout();
}

TEST(CommandLineRandom, CommandLinesOfOptionLikeWordsObeyTheRules) {
  // Words near the options, their values and their slips, drawn into command lines.
  std::vector<std::string> words = {
      "dst",       "src",      "-v",       "-l",    "-p",        "-vl",       "-verbose",
      "-x",        "-",        "--",       "-h",    "-V",        "-n",        "-dry-run",
      "--dry-run", "0",        "1",        "64",    "65",        "007",       "2147483648",
      "",          "=",        "-1",       "./-v",  "log.txt",   "--NO-SYNC", "--no-syn",
      "-q",        "-quiet",   "-vp",      "-lp",   "-qp",       "-vlp",      "-loop",
      "-pv",       "-preview", "-version", "-help", "-versionp", "-P",        "-p-"};
  for (int k = 0; k < longOptionCount; ++k) {
    std::string name = longOptions[k].name;
    for (const char* tail : {"", "=", "=0", "=1", "=12", "=64", "=x", "=-v", "==1", "=f"})
      words.push_back(name + tail);
  }
  std::mt19937 random(7411);
  testing::internal::CaptureStdout();
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::string> arguments;
    size_t count = 2 + random() % 5;
    for (size_t i = 0; i < count; ++i)
      arguments.push_back(i < 2 && random() % 4 ? std::string(i ? "src" : "dst")
                                                : words[random() % words.size()]);
    std::string failure = checkReadArguments(arguments);
    if (!failure.empty()) {
      testing::internal::GetCapturedStdout();
      std::string line;
      for (const std::string& argument : arguments) line += " [" + argument + "]";
      FAIL() << failure << ":" << line;
    }
  }
  testing::internal::GetCapturedStdout();
}
