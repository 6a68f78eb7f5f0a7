// Windows bodies of name matching: NTFS takes a letter and its capital as one name,
// beyond A-Z as well (É and é, Ω and ω). Names are UTF-8 here; each character below
// U+10000 is matched by the capital that the system's own table gives its UTF-16
// unit, so that the path key and the comparison agree with the file system.
#include <string.h>
#include <windows.h>

#include "platform/platform.h"

namespace {
uint16_t capitals[65536];

typedef WCHAR(WINAPI* UpcaseCall)(WCHAR);

// Fills the table from the system's upcase call; A-Z alone where it is missing.
bool fillCapitals() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  UpcaseCall upcase = ntdll ? reinterpret_cast<UpcaseCall>(reinterpret_cast<void*>(
                                  GetProcAddress(ntdll, "RtlUpcaseUnicodeChar")))
                            : nullptr;
  for (uint32_t unit = 0; unit < 65536; ++unit) {
    bool small = unit >= 'a' && unit <= 'z';
    uint16_t capital = small ? static_cast<uint16_t>(unit - 32) : static_cast<uint16_t>(unit);
    if (upcase && unit >= 0x80) capital = upcase(static_cast<WCHAR>(unit));
    // Surrogates stand for no letter; a capital must not become one.
    if (capital >= 0xD800 && capital <= 0xDFFF) capital = static_cast<uint16_t>(unit);
    capitals[unit] = capital;
  }
  return true;
}

uint16_t capitalOf(uint32_t unit) {
  // Filled once, by the first thread to ask; the others wait for it.
  static const bool filled = fillCapitals();
  (void)filled;
  return capitals[unit];
}

// The character below U+10000 at text in UTF-8 of two or three bytes; the bytes it
// takes, or 0 when text starts with anything else.
size_t decodeUnit(const unsigned char* text, size_t available, uint32_t* unit) {
  if (available >= 2 && text[0] >= 0xC2 && text[0] <= 0xDF && (text[1] & 0xC0) == 0x80) {
    *unit = ((text[0] & 0x1Fu) << 6) | (text[1] & 0x3Fu);
    return 2;
  }
  if (available < 3 || (text[0] & 0xF0) != 0xE0 || (text[1] & 0xC0) != 0x80 ||
      (text[2] & 0xC0) != 0x80)
    return 0;
  uint32_t value = ((text[0] & 0x0Fu) << 12) | ((text[1] & 0x3Fu) << 6) | (text[2] & 0x3Fu);
  if (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *unit = value;
  return 3;
}

size_t encodeUnit(uint32_t unit, char* out) {
  if (unit < 0x80) {
    out[0] = static_cast<char>(unit);
    return 1;
  }
  if (unit < 0x800) {
    out[0] = static_cast<char>(0xC0 | (unit >> 6));
    out[1] = static_cast<char>(0x80 | (unit & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (unit >> 12));
  out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (unit & 0x3F));
  return 3;
}

char foldAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Compares the characters at a and b as the matching folds them; sets the bytes
// each takes. Text ends at a terminator, which no character runs past.
bool sameCharacter(const char* a, size_t availableA, const char* b, size_t availableB,
                   size_t* takenA, size_t* takenB) {
  if (static_cast<unsigned char>(*a) < 0x80 && static_cast<unsigned char>(*b) < 0x80) {
    *takenA = *takenB = 1;
    return foldAscii(*a) == foldAscii(*b);
  }
  char foldedA[3], foldedB[3];
  size_t lengthA = 0, lengthB = 0;
  *takenA = foldKeyCharacter(a, availableA, foldedA, &lengthA);
  *takenB = foldKeyCharacter(b, availableB, foldedB, &lengthB);
  return lengthA == lengthB && memcmp(foldedA, foldedB, lengthA) == 0;
}
}  // namespace

size_t foldKeyCharacter(const char* text, size_t available, char* folded, size_t* foldedLength) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  uint32_t unit = 0;
  size_t taken = bytes[0] < 0x80 ? 0 : decodeUnit(bytes, available, &unit);
  if (taken == 0) {
    folded[0] = foldAscii(text[0]);
    *foldedLength = 1;
    return 1;
  }
  *foldedLength = encodeUnit(capitalOf(unit), folded);
  return taken;
}

int pathNamesEqual(const char* a, const char* b) {
  for (;;) {
    if (*a == '\0' || *b == '\0') return *a == *b;
    size_t takenA = 0, takenB = 0;
    if (!sameCharacter(a, 3, b, 3, &takenA, &takenB)) return 0;
    a += takenA;
    b += takenB;
  }
}

// The first n bytes of a and of b (each up to its terminator) match character by
// character. A letter may fold to a capital of another length (U+017F to S), so one
// side may use up its n bytes first: the other must have ended there too.
int pathNamesEqualN(const char* a, const char* b, size_t n) {
  size_t atA = 0, atB = 0;
  while (atA < n && atB < n) {
    if (a[atA] == '\0' || b[atB] == '\0') return a[atA] == b[atB];
    size_t takenA = 0, takenB = 0;
    if (!sameCharacter(a + atA, n - atA, b + atB, n - atB, &takenA, &takenB)) return 0;
    atA += takenA;
    atB += takenB;
  }
  return (atA >= n || a[atA] == '\0') && (atB >= n || b[atB] == '\0');
}

// The system's own comparison folds as the file system does; nothing differs.
size_t foldCaseCharacter(const char* text, size_t available, char* folded, size_t* foldedLength) {
  return foldKeyCharacter(text, available, folded, foldedLength);
}

int foldedNamesEqual(const char* a, const char* b) {
  return pathNamesEqual(a, b);
}

int folderNameRules(const char*) {
  return namesAsPlatform;
}

void forEachMountBelow(const char*, void (*)(void*, const char*), void*) {}
