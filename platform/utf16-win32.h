// Windows only: the boundary between the program's UTF-8 paths and the wide
// (UTF-16) calls of the system, which alone take paths beyond 260 characters.
#pragma once

#include <stddef.h>
#include <wchar.h>

/// Longest path, in UTF-16 units without the terminator, that the wide calls take.
constexpr size_t widePathLimit = 32767;

/// A path in the form the wide calls take: UTF-16, made absolute and given the
/// \\?\ prefix, so that no length limit but the system's own applies and every name
/// is taken as it is written (a device name such as aux.txt, a trailing dot or
/// space). "." and ".." are resolved by name. text is null when the path is not
/// valid UTF-8 or its wide form is longer than widePathLimit; the last error then
/// says which.
struct WidePath {
  explicit WidePath(const char* path);
  ~WidePath();
  WidePath(const WidePath&) = delete;
  WidePath& operator=(const WidePath&) = delete;
  wchar_t* text;
};

/// UTF-8 text as UTF-16 in a new buffer (free it with free), invalid bytes taken as
/// U+FFFD when lenient, else null for them; null also when memory runs out.
wchar_t* widenText(const char* text, size_t length, int lenient, size_t* wideLength);

/// Results of narrowName.
enum NarrowResult {
  narrowDone = 0,           ///< out holds the name in UTF-8
  narrowUnconvertible = 1,  ///< a lone surrogate: out holds the name with U+FFFD for it
  narrowTooLong = 2,        ///< out is too small; out is empty
};
/// Writes the UTF-16 name into out (outSize bytes) as UTF-8; a NarrowResult.
int narrowName(const wchar_t* name, char* out, size_t outSize);

/// The UTF-16 path (wideLength units) in UTF-8 in out, the \\?\ prefix removed; 1
/// when it cannot be converted or does not fit.
int narrowPath(const wchar_t* path, size_t wideLength, char* out, size_t outSize);
