// Reading the command line into the run settings: the two folders first, then only
// options the program knows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/settings.h"

struct RunFilters;

/// What a long option takes after its name.
enum LongOptionKind {
  optionSwitch = 0,  ///< nothing: it sets its setting to 1 (--stats)
  optionNumber = 1,  ///< a whole number from least to most (--workers=2)
  optionText = 2,    ///< a text that is not empty, such as a file name (--log=FILE)
};

/// One long option. One that takes a value has it after '=' (--workers=2) or as the
/// next argument (--workers 2), which then must not start with a dash.
struct LongOption {
  const char* name;
  int kind;  ///< a LongOptionKind
  /// How its value is written in the help and the refusals (N, FILE); null for a switch.
  const char* valueName;
  /// What its value is, for the refusals of a text (a file name); null otherwise.
  const char* valueMeaning;
  /// The setting a switch or a number goes to.
  int32_t RunSettings::*number;
  int32_t least;
  int32_t most;
  /// The setting a text goes to: the argument itself, which lives as long as the run.
  const char* RunSettings::*text;
  /// Its line in the help.
  const char* help;
  /// Where set, a text option may be given again and again: each value is handed
  /// here instead of going to text (--exclude).
  void (*take)(RunFilters* filters, const char* value) = nullptr;
  /// Where set, the option's value (null for a switch) is read here into its settings
  /// instead: 0 when taken, 1 when refused (--preserve's parts).
  int (*takeSetting)(RunSettings* settings, const char* value) = nullptr;
};
/// Every long option a run takes, in the order the help and the refusals name them.
extern const LongOption longOptions[];
/// Number of entries in longOptions.
extern const int longOptionCount;

/// Reads the arguments of a run (argc of 3 or more): the two folders, which must not
/// start with a dash (such a folder is given as ./-v), then options alone. A one-letter
/// option is a dash and v, l, p or q, followed by anything (-verbose is -v), but for a
/// p after the second character (-vp), which is refused rather than dropped, and for
/// -version and -help, which are refused with their long form; a long option is one
/// of longOptions. -v and -q (or --quiet) together are refused. Sets the settings the
/// options name, and gives the patterns to filters. Returns 0, or 1 after one line on
/// standard output that names the argument refused and says what is expected: the run
/// must then stop before it lists anything.
int readArguments(int argc, char** argv, RunSettings* settings, RunFilters* filters);

/// True when an argument after the two folders reads as -q or --quiet: the banner is
/// then left out, before the arguments are read.
int asksForQuiet(int argc, char** argv);

/// True when argument alone asks for the help: --help, -h, and /? on Windows.
int asksForHelp(const char* argument);
/// True when the options of a run (argv from 3 on) hold --json: known before they
/// are read, so that the banner already keeps off standard output.
int asksForJson(int argc, char** argv);
/// True when argument alone asks for the version: --version.
int asksForVersion(const char* argument);
/// Prints the usage line, the options and the exit statuses.
void printHelp(const char* programName);
/// Prints the program's name and version, and its license line.
void printVersion();

/// Prints the usage line and returns the exit status it calls for: the number of
/// characters printed, kept within 1..255 so that it never reads as success.
int printUsage(const char* programName);
