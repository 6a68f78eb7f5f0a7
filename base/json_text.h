// One line of the --json stream, built field by field: a JSON object on one line,
// in UTF-8, its names escaped so that every byte of them can be had back.
#pragma once

#include <cstddef>
#include <cstdint>

/// An object being built: its text so far. Memory that runs out loses the line,
/// never the run (failed is then set and jsonFinish writes nothing).
struct JsonText {
  char* data;
  size_t length;
  size_t capacity;
  int failed;
  int fields;  ///< fields written so far
};

/// Starts an object whose first field is "type": type.
void jsonBegin(JsonText* text, const char* type);
/// Adds "key": value as a JSON string. Bytes that are no valid UTF-8 are shown as
/// U+FFFD, and then "key_bytes" follows with the value's bytes in base64, which give
/// it back exactly. Null adds "key": null.
void jsonString(JsonText* text, const char* key, const char* value);
/// Adds a path below a root (beginning with a separator, as the tables hold it) as
/// jsonString does: without that separator, and with / between its names on every
/// system. An empty path is the root itself.
void jsonPath(JsonText* text, const char* key, const char* relativePath);
/// Adds "key": [values...] as strings; where any is no valid UTF-8, "key_bytes"
/// follows with every value in base64.
void jsonStrings(JsonText* text, const char* key, const char* const* values, int count);
void jsonNumber(JsonText* text, const char* key, int64_t value);
/// A number with three decimals (seconds).
void jsonDecimal(JsonText* text, const char* key, double value);
void jsonBool(JsonText* text, const char* key, int value);
/// Ends the object, prints it as one line on the --json stream (jsonPrint) and frees
/// the text.
void jsonFinish(JsonText* text);

/// True when length bytes of text are valid UTF-8 (no overlong forms, no
/// surrogates, nothing beyond U+10FFFF).
bool isValidUtf8(const char* text, size_t length);
