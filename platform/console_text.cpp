#include "platform/console_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
bool isControl(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}

// True when format ends a line before its end: its line ends are its own, whatever
// the arguments bring.
bool severalLinesByDesign(const char* format) {
  size_t length = strlen(format);
  while (length > 0 && format[length - 1] == '\n') --length;
  return memchr(format, '\n', length) != nullptr;
}
}  // namespace

int formatForTerminal(std::string* out, const char* format, va_list arguments) {
  char small[1024];
  va_list again;
  va_copy(again, arguments);
  int length = vsnprintf(small, sizeof small, format, arguments);
  char* text = small;
  if (length >= 0 && static_cast<size_t>(length) >= sizeof small) {
    text = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (text) vsnprintf(text, static_cast<size_t>(length) + 1, format, again);
  }
  va_end(again);
  if (length < 0 || !text) return -1;
  size_t end = static_cast<size_t>(length);
  while (end > 0 && text[end - 1] == '\n') --end;
  bool keepLineEnds = severalLinesByDesign(format);
  static const char digits[] = "0123456789abcdef";
  out->clear();
  out->reserve(static_cast<size_t>(length) + 16);
  for (size_t at = 0; at < static_cast<size_t>(length); ++at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    bool ownLineEnd = c == '\n' && (at >= end || keepLineEnds);
    if (!isControl(c) || ownLineEnd) {
      out->push_back(static_cast<char>(c));
      continue;
    }
    char escaped[4] = {'\\', 'x', digits[c >> 4], digits[c & 15]};
    out->append(escaped, sizeof escaped);
  }
  if (text != small) free(text);
  return length;
}
