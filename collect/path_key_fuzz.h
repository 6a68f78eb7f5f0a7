// The path key checked against a bitwise CRC-32 written without the table, for the
// fuzz target beside it and the bounded random test in the suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "collect/path_key.h"
#include "platform/platform.h"

/// The reflected CRC-32 running value (polynomial 0xEDB88320, started at all ones, not
/// inverted at the end), one bit at a time, optionally with a-z read as A-Z.
inline uint32_t bitwisePathKey(const uint8_t* data, size_t size, bool foldSmallLetters) {
  uint32_t value = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    uint8_t byte = data[i];
    if (foldSmallLetters && byte >= 'a' && byte <= 'z') byte = static_cast<uint8_t>(byte - 32);
    value ^= byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (0xEDB88320u & (0u - (value & 1u)));
  }
  return value;
}

/// Checks computePathKey and updatePathKey on the bytes; empty when they agree with the
/// reference, else what went wrong. buildPathKeyTable must have run.
inline std::string checkPathKey(const uint8_t* data, size_t size) {
  // The key folds every character (a zero byte included) as foldKeyCharacter does.
  std::string folded;
  for (size_t at = 0; at < size;) {
    char piece[3];
    size_t length = 0;
    at += foldKeyCharacter(reinterpret_cast<const char*>(data) + at, size - at, piece, &length);
    folded.append(piece, length);
  }
  const uint8_t* foldedBytes = reinterpret_cast<const uint8_t*>(folded.data());
  uint32_t expected = bitwisePathKey(foldedBytes, folded.size(), false);
  if (!platformIsWindows && expected != bitwisePathKey(data, size, true))
    return "a-z are not the only letters folded";
  if (computePathKey(reinterpret_cast<const char*>(data), size) != expected)
    return "computePathKey differs from the bitwise CRC-32 of the folded bytes";
  if (computePathKey(folded.data(), folded.size()) != expected)
    return "a path and its capitalized form have different keys";
  if (updatePathKey(pathKeyStart, data, static_cast<uint32_t>(size)) !=
      bitwisePathKey(data, size, false))
    return "updatePathKey differs from the bitwise CRC-32";
  // Feeding the bytes in two pieces gives the same running value as feeding them at once.
  size_t half = size / 2;
  uint32_t split = updatePathKey(pathKeyStart, data, static_cast<uint32_t>(half));
  split = updatePathKey(split, data + half, static_cast<uint32_t>(size - half));
  if (split != bitwisePathKey(data, size, false)) return "updatePathKey is not a running value";
  return std::string();
}
