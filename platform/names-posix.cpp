// POSIX bodies of name matching. Names are bytes: for the key only a to z fold, and
// names compare byte for byte; on a destination that ignores letter case, letters
// fold as a case-insensitive file system folds them (foldCaseCharacter). No name
// but / is a file-system root.
#include <locale.h>
#include <string.h>
#include <wctype.h>

#include "platform/platform.h"

size_t foldKeyCharacter(const char* text, size_t, char* folded, size_t* foldedLength) {
  char c = text[0];
  folded[0] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  *foldedLength = 1;
  return 1;
}

namespace {
// The C library's Unicode capitals, without touching the process's own locale;
// null where no UTF-8 locale is installed, and then only a to z fold.
locale_t unicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

// The character at text in UTF-8 of two to four bytes; the bytes it takes, or 0 when
// text starts with anything else.
size_t decodeCharacter(const unsigned char* text, size_t available, uint32_t* character) {
  size_t length = text[0] >= 0xF0 && text[0] <= 0xF4   ? 4
                  : text[0] >= 0xE0 && text[0] <= 0xEF ? 3
                  : text[0] >= 0xC2 && text[0] <= 0xDF ? 2
                                                       : 0;
  if (length == 0 || available < length) return 0;
  uint32_t value = text[0] & (0x7Fu >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (text[i] & 0x3Fu);
  }
  static const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *character = value;
  return length;
}

size_t encodeCharacter(uint32_t value, char* out) {
  if (value < 0x80) {
    out[0] = static_cast<char>(value);
    return 1;
  }
  if (value < 0x800) {
    out[0] = static_cast<char>(0xC0 | (value >> 6));
    out[1] = static_cast<char>(0x80 | (value & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (value >> 12));
  out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (value & 0x3F));
  return 3;
}
}  // namespace

size_t foldCaseCharacter(const char* text, size_t available, char* folded, size_t* foldedLength) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  uint32_t character = 0;
  size_t taken = bytes[0] < 0x80 ? 0 : decodeCharacter(bytes, available, &character);
  if (taken == 0) return foldKeyCharacter(text, available, folded, foldedLength);
  uint32_t capital = character;
  // exFAT's table of capitals, like NTFS's, covers the characters below U+10000.
  // Folding a letter that the file system keeps apart costs at most a file that is
  // reported and not copied; missing one that it folds could lose a file.
  if (character < 0x10000 && unicodeLocale()) {
    capital = static_cast<uint32_t>(towupper_l(static_cast<wint_t>(character), unicodeLocale()));
    if (capital >= 0x10000 || (capital >= 0xD800 && capital <= 0xDFFF)) capital = character;
  }
  if (capital == character) {
    memcpy(folded, text, taken);
    *foldedLength = taken;
  } else {
    *foldedLength = encodeCharacter(capital, folded);
  }
  return taken;
}

int foldedNamesEqual(const char* a, const char* b) {
  size_t availableA = strlen(a), availableB = strlen(b);
  while (availableA > 0 && availableB > 0) {
    char foldedA[4], foldedB[4];
    size_t lengthA = 0, lengthB = 0;
    size_t takenA = foldCaseCharacter(a, availableA, foldedA, &lengthA);
    size_t takenB = foldCaseCharacter(b, availableB, foldedB, &lengthB);
    if (lengthA != lengthB || memcmp(foldedA, foldedB, lengthA) != 0) return 0;
    a += takenA;
    b += takenB;
    availableA -= takenA;
    availableB -= takenB;
  }
  return availableA == availableB;
}

int isVolumeRootName(const char*) {
  // Every other spelling of / (/., a link to it) holds every source folder, which
  // the check of nested folders refuses.
  return 0;
}
