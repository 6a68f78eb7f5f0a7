#include "base/json_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {
void append(JsonText* text, const char* bytes, size_t length) {
  if (text->failed) return;
  if (text->length + length + 1 > text->capacity) {
    size_t capacity = text->capacity + length + 256;
    char* grown = static_cast<char*>(realloc(text->data, capacity));
    if (!grown) {
      text->failed = 1;
      return;
    }
    text->data = grown;
    text->capacity = capacity;
  }
  memcpy(text->data + text->length, bytes, length);
  text->length += length;
}

void appendText(JsonText* text, const char* bytes) {
  append(text, bytes, strlen(bytes));
}

// The length of the valid UTF-8 sequence at at (left bytes remain), or 0.
size_t sequenceAt(const unsigned char* at, size_t left, uint32_t* code) {
  unsigned char first = at[0];
  if (first < 0x80) {
    *code = first;
    return 1;
  }
  size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 0;
  if (length == 0 || first > 0xF4 || length > left) return 0;
  uint32_t value = first & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((at[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (at[i] & 0x3F);
  }
  static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

// Adds value as the inside of a JSON string: quotes, backslashes and controls (C0,
// DEL and C1, which a terminal would obey) escaped, invalid bytes as U+FFFD. Path
// separators become / where pathSlashes is set. Returns false where a byte was invalid.
bool appendEscaped(JsonText* text, const char* value, bool pathSlashes) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char* at = reinterpret_cast<const unsigned char*>(value);
  size_t left = strlen(value);
  bool valid = true;
  while (left > 0) {
    uint32_t code = 0;
    size_t length = sequenceAt(at, left, &code);
    if (length == 0) {
      append(text, "\xEF\xBF\xBD", 3);
      valid = false;
      length = 1;
    } else if (code == '"' || code == '\\') {
      char escaped[2] = {'\\', static_cast<char>(code)};
      if (pathSlashes && isPathSeparator(static_cast<char>(code)))
        append(text, "/", 1);
      else
        append(text, escaped, 2);
    } else if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      char escaped[6] = {'\\', 'u', '0', '0', digits[code >> 4], digits[code & 15]};
      append(text, escaped, 6);
    } else if (pathSlashes && isPathSeparator(static_cast<char>(code))) {
      append(text, "/", 1);
    } else {
      append(text, reinterpret_cast<const char*>(at), length);
    }
    at += length;
    left -= length;
  }
  return valid;
}

void appendBase64(JsonText* text, const char* value) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char* at = reinterpret_cast<const unsigned char*>(value);
  size_t left = strlen(value);
  for (; left > 0; at += 3, left = left > 3 ? left - 3 : 0) {
    uint32_t group = static_cast<uint32_t>(at[0]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(at[1]) << 8;
    if (left > 2) group |= at[2];
    char four[4] = {alphabet[group >> 18], alphabet[(group >> 12) & 63],
                    left > 1 ? alphabet[(group >> 6) & 63] : '=',
                    left > 2 ? alphabet[group & 63] : '='};
    append(text, four, 4);
  }
}

void appendKey(JsonText* text, const char* key, const char* suffix = "") {
  appendText(text, text->fields++ ? ",\"" : "{\"");
  appendText(text, key);
  appendText(text, suffix);
  appendText(text, "\":");
}

// "key": "value", and "key_bytes" where the value is no valid UTF-8.
void addString(JsonText* text, const char* key, const char* value, bool pathSlashes) {
  appendKey(text, key);
  if (!value) return appendText(text, "null");
  appendText(text, "\"");
  bool valid = appendEscaped(text, value, pathSlashes);
  appendText(text, "\"");
  if (valid) return;
  appendKey(text, key, "_bytes");
  appendText(text, "\"");
  appendBase64(text, value);
  appendText(text, "\"");
}
}  // namespace

bool isValidUtf8(const char* text, size_t length) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
  uint32_t code;
  for (size_t step; length > 0; at += step, length -= step)
    if ((step = sequenceAt(at, length, &code)) == 0) return false;
  return true;
}

void jsonBegin(JsonText* text, const char* type) {
  *text = JsonText{nullptr, 0, 0, 0, 0};
  addString(text, "type", type, false);
}

void jsonString(JsonText* text, const char* key, const char* value) {
  addString(text, key, value, false);
}

void jsonPath(JsonText* text, const char* key, const char* relativePath) {
  if (relativePath && isPathSeparator(relativePath[0])) ++relativePath;
  // On POSIX the separator is / already, and a backslash is part of a name.
  addString(text, key, relativePath, platformIsWindows);
}

void jsonStrings(JsonText* text, const char* key, const char* const* values, int count) {
  bool valid = true;
  appendKey(text, key);
  appendText(text, "[");
  for (int i = 0; i < count; ++i) {
    appendText(text, i ? ",\"" : "\"");
    valid = appendEscaped(text, values[i], false) && valid;
    appendText(text, "\"");
  }
  appendText(text, "]");
  if (valid) return;
  appendKey(text, key, "_bytes");
  appendText(text, "[");
  for (int i = 0; i < count; ++i) {
    appendText(text, i ? ",\"" : "\"");
    appendBase64(text, values[i]);
    appendText(text, "\"");
  }
  appendText(text, "]");
}

void jsonNumber(JsonText* text, const char* key, int64_t value) {
  char digits[32];
  snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
  appendKey(text, key);
  appendText(text, digits);
}

void jsonDecimal(JsonText* text, const char* key, double value) {
  char digits[64];
  snprintf(digits, sizeof digits, "%.3f", value);
  appendKey(text, key);
  appendText(text, digits);
}

void jsonBool(JsonText* text, const char* key, int value) {
  appendKey(text, key);
  appendText(text, value ? "true" : "false");
}

void jsonFinish(JsonText* text) {
  appendText(text, "}\n");
  if (!text->failed) jsonPrint(text->data, text->length);
  free(text->data);
  *text = JsonText{nullptr, 0, 0, 0, 0};
}
