// splitPath and the name comparison checked against their rules, for the fuzz target
// beside it and the bounded random test in the suite.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/name_matching_reference.h"
#include "platform/platform.h"

inline bool splitSeparator(char c) {
  return c == '/' || (platformIsWindows && c == '\\');
}

/// splitPath: every part terminated within its buffer, the drive two characters at
/// most, the directory ending in a separator, no separator after it, the extension
/// one period and what follows; and when nothing was cut the parts give the path back.
inline std::string checkSplitPath(const std::string& path) {
  // Buffers of exactly the promised sizes, so that a write past one is caught.
  std::vector<char> drive(splitDriveSize, '#'), directory(splitPartSize, '#');
  std::vector<char> name(splitPartSize, '#'), extension(splitPartSize, '#');
  splitPath(path.c_str(), drive.data(), directory.data(), name.data(), extension.data());
  for (const std::vector<char>* part : {&drive, &directory, &name, &extension})
    if (!memchr(part->data(), '\0', part->size())) return "a part is not terminated";
  std::string d = drive.data(), dir = directory.data(), n = name.data(), e = extension.data();
  size_t length = strlen(path.c_str());
  if (d.size() + dir.size() + n.size() + e.size() != length) {
    bool cut = dir.size() == splitPartSize - 1u || n.size() == splitPartSize - 1u ||
               e.size() == splitPartSize - 1u;
    return cut ? std::string() : "parts were lost without a full buffer";
  }
  if (d + dir + n + e != path.substr(0, length)) return "the parts do not give the path back";
  if (!dir.empty() && !splitSeparator(dir.back())) return "the directory ends in no separator";
  for (char c : n + e)
    if (splitSeparator(c)) return "a separator after the directory";
  if (!e.empty() && (e[0] != '.' || e.find('.', 1) != std::string::npos))
    return "the extension is not the last period and what follows";
  return std::string();
}

/// The name comparison as this platform defines it, over the first n bytes (stopping
/// at a terminator): letters folded on Windows, bytes on POSIX.
inline bool referenceNamesEqualN(const char* a, const char* b, size_t n) {
  return matchingForm(a, n) == matchingForm(b, n);
}

/// pathNamesEqual and pathNamesEqualN: symmetric, reflexive and as the reference says.
inline std::string checkNamesEqual(const std::string& a, const std::string& b, size_t n) {
  bool expected = referenceNamesEqualN(a.c_str(), b.c_str(), SIZE_MAX);
  if ((pathNamesEqual(a.c_str(), b.c_str()) != 0) != expected) return "pathNamesEqual is wrong";
  if (pathNamesEqual(b.c_str(), a.c_str()) != pathNamesEqual(a.c_str(), b.c_str()))
    return "pathNamesEqual is not symmetric";
  if (!pathNamesEqual(a.c_str(), a.c_str())) return "a name differs from itself";
  // Up to the shorter name's terminator: the range callers compare.
  n %= std::min(strlen(a.c_str()), strlen(b.c_str())) + 2;
  expected = referenceNamesEqualN(a.c_str(), b.c_str(), n);
  if ((pathNamesEqualN(a.c_str(), b.c_str(), n) != 0) != expected)
    return "pathNamesEqualN is wrong";
  if ((pathNamesEqualN(b.c_str(), a.c_str(), n) != 0) != expected)
    return "pathNamesEqualN is not symmetric";
  return std::string();
}

/// Reads the bytes as n, then two names split at a zero byte, and checks them all.
inline std::string checkPathPieces(const uint8_t* data, size_t size) {
  size_t n = size > 0 ? data[0] : 0;
  std::string rest(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0),
                   size > 0 ? size - 1 : 0);
  size_t zero = rest.find('\0');
  std::string a = rest.substr(0, zero);
  std::string b = zero == std::string::npos ? std::string() : rest.substr(zero + 1);
  b = b.substr(0, b.find('\0'));
  std::string failure = checkSplitPath(a);
  if (failure.empty()) failure = checkSplitPath(b);
  if (failure.empty()) failure = checkNamesEqual(a, b, n);
  return failure;
}
