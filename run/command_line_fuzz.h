// takeRoot and readOptions checked against their rules, for the fuzz target beside it
// and the bounded random test in the suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "run/command_line.h"
#include "run/settings.h"

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

/// readOptions: an argument after the program name counts when it is longer than one
/// character and starts with '-'; its second character alone decides.
inline std::string checkReadOptions(const std::vector<std::string>& arguments) {
  // Every argument in a heap block of its own exact size, so a read past it is caught.
  std::vector<std::vector<char>> blocks;
  blocks.emplace_back(std::begin("talven"), std::end("talven"));
  for (const std::string& argument : arguments)
    blocks.emplace_back(argument.c_str(), argument.c_str() + strlen(argument.c_str()) + 1);
  std::vector<char*> argv;
  for (std::vector<char>& block : blocks) argv.push_back(block.data());
  argv.push_back(nullptr);
  int expected[3] = {0, 0, 0};
  for (size_t i = 1; i < blocks.size(); ++i) {
    const char* argument = blocks[i].data();
    if (argument[0] != '-' || argument[1] == '\0') continue;
    const char* letters = "vlp";
    if (const char* found = strchr(letters, argument[1])) expected[found - letters] = 1;
  }
  resetRunSettings();
  readOptions(static_cast<int>(blocks.size()), argv.data());
  bool agree = verbose == expected[0] && logEnabled == expected[1] && previewOnly == expected[2];
  resetRunSettings();
  return agree ? std::string() : "readOptions set other flags";
}

/// Both checks on the arguments in the bytes; empty when every rule held.
inline std::string checkCommandLine(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments = fuzzArguments(data, size);
  for (const std::string& argument : arguments) {
    std::string failure = checkTakeRoot(argument);
    if (!failure.empty()) return failure;
  }
  return checkReadOptions(arguments);
}
