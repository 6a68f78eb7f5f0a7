// The path key: a CRC-32 running value over a relative path with its letters made
// capitals (a-z, and on Windows the letters beyond ASCII that the system folds).
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t PathKey;

/// Start value of every key computation.
constexpr uint32_t pathKeyStart = 0xFFFFFFFFu;

/// The reflected CRC-32 table (polynomial 0xEDB88320), filled by buildPathKeyTable.
extern uint32_t pathKeyTable[256];

/// Fills pathKeyTable; called once before any key is computed.
void buildPathKeyTable();
/// Feeds length bytes into the running value and returns the new value.
uint32_t updatePathKey(uint32_t value, const unsigned char* bytes, uint32_t length);
/// The key of a relative path: a to z taken as A to Z, every other byte unchanged;
/// on Windows, letters beyond ASCII taken as their capitals too (foldKeyCharacter).
PathKey computePathKey(const char* relativePath, size_t length);
/// The key of a relative path on a destination that ignores letter case: every
/// letter taken as its capital (foldCaseCharacter). Equal for any two paths that
/// foldedNamesEqual takes as one.
PathKey computeFoldedPathKey(const char* relativePath, size_t length);
