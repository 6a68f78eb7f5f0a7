#include "collect/path_key.h"

#include "platform/platform.h"

uint32_t pathKeyTable[256];

void buildPathKeyTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    pathKeyTable[i] = c;
  }
}

uint32_t updatePathKey(uint32_t value, const unsigned char* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i)
    value = (value >> 8) ^ pathKeyTable[(value ^ bytes[i]) & 0xFF];
  return value;
}

PathKey computePathKey(const char* relativePath, size_t length) {
  // Folding on the fly feeds the same bytes as folding a copy first.
  uint32_t value = pathKeyStart;
  for (size_t i = 0; i < length;) {
    unsigned char b = static_cast<unsigned char>(relativePath[i]);
    if (platformIsWindows && b >= 0x80) {
      // Windows names match with their letters beyond ASCII folded as well.
      char folded[3];
      size_t foldedLength = 0;
      i += foldKeyCharacter(relativePath + i, length - i, folded, &foldedLength);
      value = updatePathKey(value, reinterpret_cast<unsigned char*>(folded),
                            static_cast<uint32_t>(foldedLength));
      continue;
    }
    if (b >= 'a' && b <= 'z') b = static_cast<unsigned char>(b - 32);
    value = (value >> 8) ^ pathKeyTable[(value ^ b) & 0xFF];
    ++i;
  }
  return value;
}

PathKey computeFoldedPathKey(const char* relativePath, size_t length) {
  uint32_t value = pathKeyStart;
  for (size_t i = 0; i < length;) {
    char folded[4];
    size_t foldedLength = 0;
    i += foldCaseCharacter(relativePath + i, length - i, folded, &foldedLength);
    value = updatePathKey(value, reinterpret_cast<unsigned char*>(folded),
                          static_cast<uint32_t>(foldedLength));
  }
  return value;
}
