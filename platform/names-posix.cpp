// POSIX body of the key's letter folding: names are bytes, and only a to z fold
// (for the key; names themselves compare byte for byte).
#include "platform/platform.h"

size_t foldKeyCharacter(const char* text, size_t, char* folded, size_t* foldedLength) {
  char c = text[0];
  folded[0] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  *foldedLength = 1;
  return 1;
}
