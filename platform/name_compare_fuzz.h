// The name comparison checked against its rules, for the fuzz target beside it and
// the bounded random test in the suite.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/name_matching_reference.h"
#include "platform/platform.h"

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
  return checkNamesEqual(a, b, n);
}
