// takeRoot and readArguments checked against their rules, for the fuzz target beside it
// and the bounded random test in the suite.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "base/settings.h"
#include "run/command_line.h"
#include "scan/run_filters.h"

/// The arguments in the bytes, split at zero bytes. An argument that begins with byte 1
/// is stretched to a few bytes around the path buffer's size, where the limits lie.
inline std::vector<std::string> fuzzArguments(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  std::string current;
  for (size_t i = 0; i <= size && arguments.size() < 64; ++i) {
    if (i < size && data[i] != 0) {
      current += static_cast<char>(data[i]);
      continue;
    }
    if (!current.empty() && current[0] == 1) {
      size_t length =
          pathBufferSize - 3 + (current.size() > 1 ? static_cast<uint8_t>(current[1]) % 6 : 0);
      current = std::string(length > current.size() ? length - current.size() : 0, 'x') + current;
      current[0] = 'x';
    }
    arguments.push_back(current);
    current.clear();
  }
  return arguments;
}

inline bool referenceSeparator(char c) {
  return c == '/' || (platformIsWindows && c == '\\');
}

/// takeRoot: too long when the argument and its terminator do not fit; else every
/// trailing separator is cut, and nothing left means empty.
inline std::string checkTakeRoot(const std::string& argument) {
  std::vector<char> root(pathBufferSize, '#');  // exactly a path buffer, for the sanitizer
  int result = takeRoot(root.data(), argument.c_str());
  size_t length = strlen(argument.c_str());
  if (length >= static_cast<size_t>(pathBufferSize))
    return result == rootTooLong ? std::string() : "a root too long was taken";
  while (length > 0 && referenceSeparator(argument[length - 1])) --length;
  if (length == 0) return result == rootEmpty ? std::string() : "an empty root was not refused";
  if (result != rootTaken) return "a root was refused: " + argument;
  if (memchr(root.data(), '\0', root.size()) == nullptr) return "the root is not terminated";
  if (std::string(root.data()) != argument.substr(0, length)) return "the root is not the argument";
  return std::string();
}

/// The long option an argument names: the part before its first '=' (nullptr: none).
inline const LongOption* referenceLongOption(const std::string& argument) {
  std::string name = argument.substr(0, argument.find('='));
  for (int k = 0; k < longOptionCount; ++k)
    if (name == longOptions[k].name) return &longOptions[k];
  return nullptr;
}

/// What a run's arguments must set, by the rules: the folders never start with a dash,
/// then options alone, a one-letter one decided by its second character (but a p after
/// it, and -version and -help, are refused), a long one with its value after '=' or as
/// the next argument that starts with no dash; -v and -q never together, and
/// --backup-keep only with --backup-dir.
struct ReferenceArguments {
  bool refused = false;
  int flags[4] = {0, 0, 0, 0};  ///< -v, -l, -p, -q
  /// Per long option: given or not, and the value last given.
  std::vector<int> given = std::vector<int>(static_cast<size_t>(longOptionCount), 0);
  std::vector<std::string> values = std::vector<std::string>(static_cast<size_t>(longOptionCount));
};

/// The PreservePart bits of a list of part names, 0 where one is not known or empty.
inline int32_t referenceParts(const std::string& list) {
  const std::pair<const char*, int32_t> known[] = {{"links", preserveLinks},
                                                   {"hardlinks", preserveHardLinks},
                                                   {"folders", preserveFolders},
                                                   {"older", preserveOlder},
                                                   {"mode", preserveMode},
                                                   {"owner", preserveOwner},
                                                   {"xattrs", preserveXattrs},
                                                   {"acls", preserveAcls},
                                                   {"attributes", preserveAttributes}};
  int32_t parts = 0;
  size_t at = 0;
  for (;;) {
    size_t comma = list.find(',', at);
    std::string name = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    int32_t part = 0;
    for (const auto& entry : known)
      if (name == entry.first) part = entry.second;
    if (part == 0) return 0;
    parts |= part;
    if (comma == std::string::npos) return parts;
    at = comma + 1;
  }
}

/// True when the value suits the option: a whole number in its range, a list of
/// known parts (--preserve), or a text that is not empty.
inline bool referenceValueFits(const LongOption& option, const std::string& value) {
  if (option.kind == optionText && option.takeSetting) return referenceParts(value) != 0;
  if (option.kind == optionText) return !value.empty();
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return false;
  long long number = 0;
  for (char digit : value) number = std::min(number * 10 + (digit - '0'), 99999999999LL);
  return number >= option.least && number <= option.most;
}

inline ReferenceArguments referenceArguments(const std::vector<std::string>& arguments) {
  ReferenceArguments expected;
  expected.refused = arguments[0][0] == '-' || arguments[1][0] == '-';
  for (size_t i = 2; i < arguments.size() && !expected.refused; ++i) {
    const std::string& argument = arguments[i];
    const char* letters = "vlpq";
    if (argument.size() < 2 || argument[0] != '-') {
      expected.refused = true;
    } else if (argument == "-version" || argument == "-help") {
      expected.refused = true;
    } else if (argument[1] != '-') {
      const char* found = strchr(letters, argument[1]);
      bool dropsPreview = argument[1] != 'p' && argument.find('p', 2) != std::string::npos;
      if (found && !dropsPreview) expected.flags[found - letters] = 1;
      expected.refused = found == nullptr || dropsPreview;
    } else if (const LongOption* option = referenceLongOption(argument)) {
      size_t k = static_cast<size_t>(option - longOptions);
      size_t equals = argument.find('=');
      std::string value = equals == std::string::npos ? std::string() : argument.substr(equals + 1);
      bool apart = option->kind != optionSwitch && equals == std::string::npos;
      if (apart && i + 1 < arguments.size() && !arguments[i + 1].empty() &&
          arguments[i + 1][0] != '-')
        value = arguments[++i];
      else if (apart)
        expected.refused = true;
      if (option->kind == optionSwitch)
        expected.refused = equals != std::string::npos;
      else if (!referenceValueFits(*option, value))
        expected.refused = true;
      expected.given[k] = 1;
      expected.values[k] = value;
    } else {
      expected.refused = true;
    }
  }
  for (int k = 0; k < longOptionCount; ++k)
    if (longOptions[k].number == &RunSettings::quiet && expected.given[static_cast<size_t>(k)])
      expected.flags[3] = 1;
  if (expected.flags[0] && expected.flags[3]) expected.refused = true;
  // --backup-keep keeps run folders of --backup-dir, and is refused without it.
  bool keep = false, backup = false;
  for (int k = 0; k < longOptionCount; ++k) {
    if (!expected.given[static_cast<size_t>(k)]) continue;
    keep |= longOptions[k].number == &RunSettings::backupKeep;
    backup |= longOptions[k].text == &RunSettings::backupDir;
  }
  if (keep && !backup) expected.refused = true;
  return expected;
}

/// readArguments: refuses what the rules refuse, and otherwise sets what they set.
inline std::string checkReadArguments(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return std::string();
  // Every argument in a heap block of its own exact size, so a read past it is caught.
  std::vector<std::vector<char>> blocks;
  blocks.emplace_back(std::begin("talven"), std::end("talven"));
  for (const std::string& argument : arguments)
    blocks.emplace_back(argument.c_str(), argument.c_str() + strlen(argument.c_str()) + 1);
  std::vector<char*> argv;
  for (std::vector<char>& block : blocks) argv.push_back(block.data());
  argv.push_back(nullptr);
  std::vector<std::string> taken;
  for (size_t i = 1; i < blocks.size(); ++i) taken.push_back(blocks[i].data());
  ReferenceArguments expected = referenceArguments(taken);
  RunSettings settings;
  resetRunSettings(&settings);
  RunFilters filters;
  int refused = readArguments(static_cast<int>(blocks.size()), argv.data(), &settings, &filters);
  std::string failure;
  if (refused != (expected.refused ? 1 : 0))
    failure = expected.refused ? "readArguments took what the rules refuse"
                               : "readArguments refused what the rules take";
  if (!expected.refused && failure.empty()) {
    bool agree = settings.verbose == expected.flags[0] &&
                 settings.previewOnly == expected.flags[2] && settings.quiet == expected.flags[3];
    for (int k = 0; k < longOptionCount; ++k) {
      const LongOption& option = longOptions[k];
      const std::string& value = expected.values[static_cast<size_t>(k)];
      if (!expected.given[static_cast<size_t>(k)]) continue;
      // --exact asks for every part; --preserve for those it names.
      if (option.kind == optionSwitch)
        agree = agree && settings.*option.number == (option.takeSetting ? preserveAll : 1);
      if (option.kind == optionText && option.takeSetting)
        agree = agree && (settings.preserve & referenceParts(value)) == referenceParts(value);
      if (option.kind == optionNumber)
        agree = agree && settings.*option.number == std::stoll(value);
      if (option.kind == optionText && !option.take && !option.takeSetting)
        agree = agree && settings.*option.text && value == settings.*option.text;
      // Patterns and pattern files are kept, every one: the last given among them.
      std::string name = option.name;
      bool isFile = name.size() > 5 && name.compare(name.size() - 5, 5, "-from") == 0;
      int kind = name.find("include") != std::string::npos ? filterInclude : filterExclude;
      if (option.take) agree = agree && runFilterGiven(filters, kind, value.c_str(), isFile);
    }
    int logAsked = expected.flags[1];
    for (int k = 0; k < longOptionCount; ++k)
      if (longOptions[k].number == &RunSettings::logEnabled &&
          expected.given[static_cast<size_t>(k)])
        logAsked = 1;
    agree = agree && settings.logEnabled == logAsked;
    if (!agree) failure = "readArguments set other settings";
  }
  return failure;
}

/// Both checks on the arguments in the bytes; empty when every rule held. An argument
/// that begins with byte 2 names the long option of its next byte, so that the checks
/// reach every option and its value; the rest of it follows the name.
inline std::string checkCommandLine(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments = fuzzArguments(data, size);
  for (std::string& argument : arguments) {
    std::string failure = checkTakeRoot(argument);
    if (!failure.empty()) return failure;
    if (argument.size() >= 2 && argument[0] == 2)
      argument = longOptions[static_cast<uint8_t>(argument[1]) % longOptionCount].name +
                 argument.substr(2);
  }
  return checkReadArguments(arguments);
}
