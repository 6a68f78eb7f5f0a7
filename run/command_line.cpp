#include "run/command_line.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "scan/run_filters.h"

namespace {
void takeExclude(RunFilters* filters, const char* pattern) {
  addRunFilterPattern(filters, filterExclude, pattern, "--exclude");
}
void takeInclude(RunFilters* filters, const char* pattern) {
  addRunFilterPattern(filters, filterInclude, pattern, "--include");
}
void takeExcludeFile(RunFilters* filters, const char* path) {
  addRunFilterFile(filters, filterExclude, path);
}
void takeIncludeFile(RunFilters* filters, const char* path) {
  addRunFilterFile(filters, filterInclude, path);
}

// The parts of an exact mirror, by their names in --preserve's list.
struct PartName {
  const char* name;
  int32_t part;
};
constexpr PartName partNames[] = {{"links", preserveLinks},
                                  {"hardlinks", preserveHardLinks},
                                  {"folders", preserveFolders},
                                  {"older", preserveOlder},
                                  {"mode", preserveMode},
                                  {"owner", preserveOwner},
                                  {"xattrs", preserveXattrs},
                                  {"acls", preserveAcls},
                                  {"attributes", preserveAttributes}};

int takeExact(RunSettings* settings, const char*) {
  settings->preserve = preserveAll;
  return 0;
}

// A comma-separated list of part names, each known, none empty.
int takePreserve(RunSettings* settings, const char* list) {
  int32_t parts = 0;
  for (const char* at = list;;) {
    const char* comma = strchr(at, ',');
    size_t length = comma ? static_cast<size_t>(comma - at) : strlen(at);
    int32_t part = 0;
    for (const PartName& known : partNames)
      if (strlen(known.name) == length && strncmp(at, known.name, length) == 0) part = known.part;
    if (part == 0) return 1;
    parts |= part;
    if (!comma) break;
    at = comma + 1;
  }
  settings->preserve |= parts;
  return 0;
}
}  // namespace

const LongOption longOptions[] = {
    {"--no-sync", optionSwitch, nullptr, nullptr, &RunSettings::noSync, 0, 0, nullptr,
     "do not wait for the disk (for scratch space)"},
    {"--workers", optionNumber, "N", nullptr, &RunSettings::copyWorkers, 1, mostCopyWorkers,
     nullptr, "threads writing copies, 1 to 64 (default: up to 4)"},
    {"--log", optionText, "FILE", "a file name", &RunSettings::logEnabled, 0, 0,
     &RunSettings::logFilePath, "append the log to FILE instead of .mirror_log"},
    {"--allow-empty-source", optionSwitch, nullptr, nullptr, &RunSettings::allowEmptySource, 0, 0,
     nullptr, "let a source that holds no file empty the destination"},
    {"--yes", optionSwitch, nullptr, nullptr, &RunSettings::assumeYes, 0, 0, nullptr,
     "delete files newer than every source file without asking"},
    {"--max-delete", optionNumber, "N", nullptr, &RunSettings::maxDeletions, 0, mostDeletionCap,
     nullptr, "stop before any change if over N files would be deleted"},
    {"--backup-dir", optionText, "DIR", "a folder name", nullptr, 0, 0, &RunSettings::backupDir,
     "move what the run deletes or replaces into DIR/<start time>/"},
    {"--backup-keep", optionNumber, "N", nullptr, &RunSettings::backupKeep, 1, mostBackupKeep,
     nullptr, "then keep only the N newest run folders in DIR"},
    {"--stats", optionSwitch, nullptr, nullptr, &RunSettings::printStats, 0, 0, nullptr,
     "print the summary line on standard output at the end"},
    {"--quiet", optionSwitch, nullptr, nullptr, &RunSettings::quiet, 0, 0, nullptr,
     "the same as -q"},
    {"--json", optionSwitch, nullptr, nullptr, &RunSettings::jsonOutput, 0, 0, nullptr,
     "JSON Lines on standard output, every other line on standard error"},
    {"--exclude", optionText, "PATTERN", "a pattern", nullptr, 0, 0, nullptr,
     "leave out what matches PATTERN (may be repeated)", takeExclude},
    {"--include", optionText, "PATTERN", "a pattern", nullptr, 0, 0, nullptr,
     "mirror only what matches an include (may be repeated)", takeInclude},
    {"--exclude-from", optionText, "FILE", "a file name", nullptr, 0, 0, nullptr,
     "the exclude patterns of FILE, one a line", takeExcludeFile},
    {"--include-from", optionText, "FILE", "a file name", nullptr, 0, 0, nullptr,
     "the include patterns of FILE, one a line", takeIncludeFile},
    {"--delete-excluded", optionSwitch, nullptr, nullptr, &RunSettings::deleteExcluded, 0, 0,
     nullptr, "delete what is left out from the destination too"},
    {"--exact", optionSwitch, nullptr, nullptr, &RunSettings::preserve, 0, 0, nullptr,
     "links, hard links, folders, older versions, owners, modes and more", nullptr, takeExact},
    {"--preserve", optionText, "LIST",
     "a list of links, hardlinks, folders, older, mode, owner, xattrs, acls and attributes",
     nullptr, 0, 0, nullptr, "the parts of --exact named in LIST (see the manual page)", nullptr,
     takePreserve},
};
const int longOptionCount = static_cast<int>(sizeof longOptions / sizeof longOptions[0]);

namespace {
// Where a run's arguments go, and the arguments that asked for -v and -q, which do
// not go together.
struct ArgumentTargets {
  RunSettings* settings;
  RunFilters* filters;
  const char* verboseWord;
  const char* quietWord;
};

// The one-letter options, in the order the refusals name them.
constexpr char oneLetterOptions[] = "vlpq";

// The long option whose name is the first length characters of argument, or null.
const LongOption* longOptionNamed(const char* argument, size_t length) {
  for (int k = 0; k < longOptionCount; ++k)
    if (strlen(longOptions[k].name) == length &&
        strncmp(argument, longOptions[k].name, length) == 0)
      return &longOptions[k];
  return nullptr;
}

// The whole number that digits holds, or -1 when it holds anything else or a number
// beyond most.
int64_t wholeNumber(const char* digits, int32_t most) {
  int64_t value = 0;
  if (*digits == '\0') return -1;
  for (; *digits; ++digits) {
    if (*digits < '0' || *digits > '9') return -1;
    value = value * 10 + (*digits - '0');
    if (value > most) return -1;
  }
  return value;
}

// What an option's value must be, for its refusals: "a whole number from 1 to 64".
void describeValue(const LongOption& option, char* text, size_t size) {
  if (option.kind == optionNumber)
    snprintf(text, size, "a whole number from %d to %d", option.least, option.most);
  else
    snprintf(text, size, "%s", option.valueMeaning ? option.valueMeaning : "a value");
}

void refuseUnknownLongOption(const char* argument) {
  char known[512] = "";
  size_t used = 0;
  for (int k = 0; k < longOptionCount && used < sizeof known; ++k) {
    const LongOption& option = longOptions[k];
    int written =
        snprintf(known + used, sizeof known - used, "%s%s%s%s", k ? ", " : "", option.name,
                 option.valueName ? "=" : "", option.valueName ? option.valueName : "");
    if (written < 0) break;
    used += static_cast<size_t>(written);
  }
  consolePrintf("Unknown option [%s]: the long options are %s !\n", argument, known);
}

// Takes the value of an option that has one; 0 when it is taken into its setting.
// shown is the argument as the refusal names it.
int takeValue(const ArgumentTargets& to, const LongOption& option, const char* value,
              const char* shown) {
  if (option.takeSetting && value[0] != '\0' && option.takeSetting(to.settings, value) == 0)
    return 0;
  if (option.kind == optionText && value[0] != '\0' && !option.takeSetting) {
    if (option.take)
      option.take(to.filters, value);
    else
      to.settings->*option.text = value;
    if (option.number) to.settings->*option.number = 1;
    return 0;
  }
  int64_t number = option.kind == optionNumber ? wholeNumber(value, option.most) : -1;
  if (number >= option.least) {
    to.settings->*option.number = static_cast<int32_t>(number);
    return 0;
  }
  char meaning[96];
  describeValue(option, meaning, sizeof meaning);
  consolePrintf("Bad value [%s]: %s takes %s !\n", shown, option.name, meaning);
  return 1;
}

// Reads the long option at argv[*at], and its value from the next argument when it
// has one and is not written with '='; *at is then moved past the value.
int readLongOption(const ArgumentTargets& to, int argc, char** argv, int* at) {
  const char* argument = argv[*at];
  if (asksForHelp(argument) || asksForVersion(argument)) {
    consolePrintf("Option [%s] is given alone: talven %s !\n", argument, argument);
    return 1;
  }
  const char* equals = strchr(argument, '=');
  size_t nameLength = equals ? static_cast<size_t>(equals - argument) : strlen(argument);
  const LongOption* option = longOptionNamed(argument, nameLength);
  if (!option) {
    refuseUnknownLongOption(argument);
    return 1;
  }
  if (option->kind == optionSwitch) {
    if (!equals && option->takeSetting)
      option->takeSetting(to.settings, nullptr);
    else if (!equals)
      to.settings->*option->number = 1;
    if (equals) consolePrintf("Bad value [%s]: %s takes no value !\n", argument, option->name);
    return equals ? 1 : 0;
  }
  if (equals) return takeValue(to, *option, equals + 1, argument);
  // A value apart never starts with a dash: "--log -v" is a slip, not a log named -v.
  if (*at + 1 >= argc || argv[*at + 1][0] == '-') {
    char meaning[96];
    describeValue(*option, meaning, sizeof meaning);
    consolePrintf("Missing value [%s]: %s takes %s, as %s=%s or %s %s !\n", argument, option->name,
                  meaning, option->name, option->valueName, option->name, option->valueName);
    return 1;
  }
  ++*at;
  char shown[160];
  snprintf(shown, sizeof shown, "%s %s", argument, argv[*at]);
  return takeValue(to, *option, argv[*at], shown);
}

// A dash word that the second character alone would not read as it was meant: the
// long options written with one dash (-version would be -v), and a p after the second
// character (-vp, -lp), which would drop the preview and run for real. Refused with
// the way to write it; 0 for any other word.
int refuseMisreadWord(const char* argument) {
  if (strcmp(argument, "-version") == 0 || strcmp(argument, "-help") == 0) {
    consolePrintf("Option [%s] is written -%s and given alone: talven -%s !\n", argument, argument,
                  argument);
    return 1;
  }
  if (argument[1] == '\0' || argument[1] == 'p' || !strchr(oneLetterOptions, argument[1]) ||
      !strchr(argument + 2, 'p'))
    return 0;
  // The options the word names, each once, in its order: -vlp as -v -l -p.
  char apart[3 * sizeof oneLetterOptions] = "";
  size_t used = 0;
  for (const char* letter = argument + 1; *letter; ++letter) {
    size_t before = static_cast<size_t>(letter - argument - 1);
    if (!strchr(oneLetterOptions, *letter) || memchr(argument + 1, *letter, before)) continue;
    used += static_cast<size_t>(
        snprintf(apart + used, sizeof apart - used, "%s-%c", used ? " " : "", *letter));
  }
  consolePrintf(
      "Option [%s] would drop its -p (a one-letter option is read by its second character "
      "alone): write %s !\n",
      argument, apart);
  return 1;
}

// Reads the option at argv[*at]; 0 when it is one.
int readOption(ArgumentTargets* to, int argc, char** argv, int* at) {
  const char* argument = argv[*at];
  if (argument[0] != '-') {
    consolePrintf(
        "Unexpected argument [%s]: give two folders, the folder to update and the source, "
        "then options !\n",
        argument);
    return 1;
  }
  if (argument[1] == '-') {
    if (strcmp(argument, "--quiet") == 0) to->quietWord = argument;
    return readLongOption(*to, argc, argv, at);
  }
  if (refuseMisreadWord(argument)) return 1;
  // The one-letter options keep their rule: the second character alone decides.
  switch (argument[1]) {
    case 'v':
      to->settings->verbose = 1;
      to->verboseWord = argument;
      return 0;
    case 'l': to->settings->logEnabled = 1; return 0;
    case 'p': to->settings->previewOnly = 1; return 0;
    case 'q':
      to->settings->quiet = 1;
      to->quietWord = argument;
      return 0;
    default: break;
  }
  consolePrintf("Unknown option [%s]: the one-letter options are -v, -l, -p and -q !\n", argument);
  return 1;
}
}  // namespace

int readArguments(int argc, char** argv, RunSettings* settings, RunFilters* filters) {
  ArgumentTargets to = {settings, filters, nullptr, nullptr};
  const char* names[2] = {"destination", "source"};
  for (int i = 1; i <= 2; ++i) {
    // An option in a folder's place (talven -v dst src) would have made a folder of
    // that name and mirrored the wrong pair.
    if (argv[i][0] != '-') continue;
    consolePrintf(
        "The %s folder [%s] starts with a dash: give the two folders first, and a folder "
        "so named as .%c%s !\n",
        names[i - 1], argv[i], pathSeparator, argv[i]);
    return 1;
  }
  for (int i = 3; i < argc; ++i)
    if (readOption(&to, argc, argv, &i)) return 1;
  if (to.verboseWord && to.quietWord) {
    // Each action told, and nothing told: neither is what was asked.
    consolePrintf("Options [%s] and [%s] ask for opposites: give one or the other !\n",
                  to.verboseWord, to.quietWord);
    return 1;
  }
  if (settings->backupKeep && !settings->backupDir) {
    consolePrintf(
        "Option [--backup-keep] keeps run folders of --backup-dir: give --backup-dir too !\n");
    return 1;
  }
  return 0;
}

int asksForQuiet(int argc, char** argv) {
  // Anything after the folders that reads as -q: the run is quiet, or refused.
  for (int i = 3; i < argc; ++i)
    if (strcmp(argv[i], "--quiet") == 0 || (argv[i][0] == '-' && argv[i][1] == 'q')) return 1;
  return 0;
}

int asksForHelp(const char* argument) {
  return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0 ||
         (platformIsWindows && strcmp(argument, "/?") == 0);
}

int asksForJson(int argc, char** argv) {
  // A value given apart never starts with a dash: --json is never one.
  for (int i = 3; i < argc; ++i)
    if (strcmp(argv[i], "--json") == 0) return 1;
  return 0;
}

int asksForVersion(const char* argument) {
  return strcmp(argument, "--version") == 0;
}
