// The matching form of a name, for the checks of the path key and the comparisons:
// what two names must share to be taken as one, character by character.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

/// The first n bytes of text (up to its terminator) with every letter folded as the
/// platform folds it for the key: a-z as A-Z, and on Windows the letters beyond
/// ASCII as the system's capitals. On POSIX, the comparison of names is the bytes.
inline std::string keyForm(const char* text, size_t n) {
  std::string form;
  for (size_t at = 0; at < n && text[at] != '\0';) {
    char folded[3];
    size_t length = 0;
    at += foldKeyCharacter(text + at, n - at, folded, &length);
    form.append(folded, length);
  }
  return form;
}

/// The form under which two names are one: the key's form on Windows, the bytes on
/// POSIX.
inline std::string matchingForm(const char* text, size_t n) {
  if (platformIsWindows) return keyForm(text, n);
  std::string form;
  for (size_t at = 0; at < n && text[at] != '\0'; ++at) form += text[at];
  return form;
}
