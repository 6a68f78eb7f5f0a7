// A strict reader of JSON Lines for the tests: each line one JSON object (RFC 8259,
// nothing it does not allow: no trailing comma, no leading zero, no raw control
// character, no lone surrogate, no repeated key, no invalid UTF-8), ended by a line
// feed alone. It reads what a script's parser would, and refuses what one might not.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct JsonValue {
  enum Kind { null, boolean, number, string, array, object };
  Kind kind = null;
  bool flag = false;
  double value = 0;
  std::string text;  ///< a string's UTF-8, a number's digits as written
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> fields;

  bool has(const std::string& key) const { return kind == object && fields.count(key) > 0; }
  /// The field key, or a null value where there is none.
  const JsonValue& operator[](const std::string& key) const {
    static const JsonValue none;
    auto found = fields.find(key);
    return kind == object && found != fields.end() ? found->second : none;
  }
  std::string str() const { return kind == string ? text : std::string("<not a string>"); }
  long long integer() const { return kind == number ? std::stoll(text) : -1; }
};

namespace json_lines {
class Reader {
 public:
  explicit Reader(const std::string& input) : in_(input) {}
  bool document(JsonValue* value) {
    space();
    if (!parse(value, 0)) return false;
    space();
    return at_ == in_.size() || fail("text after the value");
  }
  std::string error;

 private:
  bool fail(const std::string& why) {
    if (error.empty()) error = why + " at byte " + std::to_string(at_);
    return false;
  }
  void space() {
    while (at_ < in_.size() &&
           (in_[at_] == ' ' || in_[at_] == '\t' || in_[at_] == '\n' || in_[at_] == '\r'))
      ++at_;
  }
  bool literal(const char* word) {
    std::string text(word);
    if (in_.compare(at_, text.size(), text) != 0) return fail("bad literal");
    at_ += text.size();
    return true;
  }
  bool parse(JsonValue* value, int depth) {
    if (depth > 64) return fail("too deep");
    if (at_ >= in_.size()) return fail("end of text");
    char c = in_[at_];
    if (c == '{') return parseObject(value, depth);
    if (c == '[') return parseArray(value, depth);
    if (c == '"') return value->kind = JsonValue::string, parseString(&value->text);
    if (c == 't') return value->kind = JsonValue::boolean, value->flag = true, literal("true");
    if (c == 'f') return value->kind = JsonValue::boolean, literal("false");
    if (c == 'n') return value->kind = JsonValue::null, literal("null");
    return parseNumber(value);
  }
  bool digits() {
    size_t start = at_;
    while (at_ < in_.size() && in_[at_] >= '0' && in_[at_] <= '9') ++at_;
    return at_ > start || fail("digit expected");
  }
  bool parseNumber(JsonValue* value) {
    size_t start = at_;
    if (in_[at_] == '-') ++at_;
    if (at_ < in_.size() && in_[at_] == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    if (at_ < in_.size() && in_[at_] == '.' && (++at_, !digits())) return false;
    if (at_ < in_.size() && (in_[at_] == 'e' || in_[at_] == 'E')) {
      ++at_;
      if (at_ < in_.size() && (in_[at_] == '+' || in_[at_] == '-')) ++at_;
      if (!digits()) return false;
    }
    value->kind = JsonValue::number;
    value->text = in_.substr(start, at_ - start);
    value->value = std::stod(value->text);
    return true;
  }
  bool hex4(uint32_t* unit) {
    if (at_ + 4 > in_.size()) return fail("short \\u escape");
    *unit = 0;
    for (int i = 0; i < 4; ++i) {
      char c = in_[at_++];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return fail("bad \\u escape");
      *unit = *unit * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }
  static void appendUtf8(std::string* out, uint32_t code) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  // One UTF-8 character of the raw text, checked strictly.
  bool rawCharacter(std::string* out) {
    unsigned char first = static_cast<unsigned char>(in_[at_]);
    size_t length = first < 0x80    ? 1
                    : first >= 0xF0 ? 4
                    : first >= 0xE0 ? 3
                    : first >= 0xC0 ? 2
                                    : 0;
    if (length == 0 || first > 0xF4 || at_ + length > in_.size()) return fail("invalid UTF-8");
    uint32_t code = length == 1 ? first : first & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
      unsigned char next = static_cast<unsigned char>(in_[at_ + i]);
      if ((next & 0xC0) != 0x80) return fail("invalid UTF-8");
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return fail("invalid UTF-8");
    out->append(in_, at_, length);
    at_ += length;
    return true;
  }
  bool parseEscape(std::string* out) {
    if (at_ >= in_.size()) return fail("end in escape");
    char c = in_[at_++];
    const char* simple = "\"\\/bfnrt";
    const char* meant = "\"\\/\b\f\n\r\t";
    for (int i = 0; simple[i]; ++i)
      if (c == simple[i]) return *out += meant[i], true;
    uint32_t unit = 0;
    if (c != 'u' || !hex4(&unit)) return fail("bad escape");
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("lone low surrogate");
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = 0;
      if (in_.compare(at_, 2, "\\u") != 0) return fail("lone high surrogate");
      at_ += 2;
      if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return fail("lone high surrogate");
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(out, unit);
    return true;
  }
  bool parseString(std::string* out) {
    ++at_;
    out->clear();
    while (at_ < in_.size()) {
      unsigned char c = static_cast<unsigned char>(in_[at_]);
      if (c == '"') return ++at_, true;
      if (c < 0x20) return fail("raw control character in a string");
      if (c == '\\') {
        ++at_;
        if (!parseEscape(out)) return false;
      } else if (!rawCharacter(out)) {
        return false;
      }
    }
    return fail("unterminated string");
  }
  bool parseArray(JsonValue* value, int depth) {
    value->kind = JsonValue::array;
    ++at_;
    space();
    if (at_ < in_.size() && in_[at_] == ']') return ++at_, true;
    for (;;) {
      JsonValue item;
      space();
      if (!parse(&item, depth + 1)) return false;
      value->items.push_back(item);
      space();
      if (at_ < in_.size() && in_[at_] == ']') return ++at_, true;
      if (at_ >= in_.size() || in_[at_] != ',') return fail("',' or ']' expected");
      ++at_;
    }
  }
  bool parseObject(JsonValue* value, int depth) {
    value->kind = JsonValue::object;
    ++at_;
    space();
    if (at_ < in_.size() && in_[at_] == '}') return ++at_, true;
    for (;;) {
      space();
      std::string key;
      if (at_ >= in_.size() || in_[at_] != '"') return fail("key expected");
      if (!parseString(&key)) return false;
      if (value->fields.count(key)) return fail("repeated key " + key);
      space();
      if (at_ >= in_.size() || in_[at_] != ':') return fail("':' expected");
      ++at_;
      space();
      if (!parse(&value->fields[key], depth + 1)) return false;
      space();
      if (at_ < in_.size() && in_[at_] == '}') return ++at_, true;
      if (at_ >= in_.size() || in_[at_] != ',') return fail("',' or '}' expected");
      ++at_;
    }
  }
  const std::string& in_;
  size_t at_ = 0;
};
}  // namespace json_lines

/// Reads one JSON text; false with error set where it is not strictly one.
inline bool parseJson(const std::string& text, JsonValue* value, std::string* error) {
  json_lines::Reader reader(text);
  *value = JsonValue();
  bool read = reader.document(value);
  if (!read && error) *error = reader.error;
  return read;
}

/// Reads JSON Lines: every line one object, each ended by a line feed alone.
inline bool parseJsonLines(const std::string& output, std::vector<JsonValue>* objects,
                           std::string* error) {
  objects->clear();
  if (!output.empty() && output.back() != '\n') return *error = "no line feed at the end", false;
  for (size_t start = 0; start < output.size();) {
    size_t end = output.find('\n', start);
    std::string line = output.substr(start, end - start);
    JsonValue value;
    if (!line.empty() && line.back() == '\r') return *error = "a carriage return: " + line, false;
    if (!parseJson(line, &value, error)) return *error += " in: " + line, false;
    if (value.kind != JsonValue::object) return *error = "not an object: " + line, false;
    objects->push_back(value);
    start = end + 1;
  }
  return true;
}

/// The bytes a base64 text stands for; "<bad base64>" where it is not base64.
inline std::string fromBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return "<bad base64>";
  std::string bytes;
  for (size_t at = 0; at < text.size(); at += 4) {
    uint32_t group = 0;
    int padding = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text[at + i];
      size_t digit = alphabet.find(c);
      if (c == '=' && at + 4 == text.size() && i >= 2) {
        ++padding;
        digit = 0;
      } else if (digit == std::string::npos || padding) {
        return "<bad base64>";
      }
      group = group << 6 | static_cast<uint32_t>(digit);
    }
    bytes += static_cast<char>(group >> 16);
    if (padding < 2) bytes += static_cast<char>((group >> 8) & 0xFF);
    if (padding < 1) bytes += static_cast<char>(group & 0xFF);
  }
  return bytes;
}
