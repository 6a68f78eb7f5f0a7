// The objects of the --json stream as a strict reader reads them back: one line
// each, escaped for JSON and for terminals, bytes that are no UTF-8 given back.
#include "base/json_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/json_lines.h"
#include "platform/platform.h"

namespace {
// The JSON text one builder printed, caught as the copy room catches text.
std::string caught;
void catchJson(void*, int stream, const char* text, size_t length) {
  if (stream == outputJson) caught.append(text, length);
}

std::string printedObject(void (*build)(JsonText* text)) {
  caught.clear();
  OutputDiversion diversion = {catchJson, nullptr};
  divertThreadOutput(&diversion);
  JsonText text;
  jsonBegin(&text, "test");
  build(&text);
  jsonFinish(&text);
  divertThreadOutput(nullptr);
  return caught;
}

TEST(JsonText, EscapesWhatJsonAndTerminalsNeedAndGivesBadBytesBack) {
  std::string line = printedObject([](JsonText* text) {
    jsonString(text, "plain", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
    jsonString(text, "marks", "a\"b\\c\n\t\x01\x7F\xC2\x85");
    jsonString(text, "bad", "ab\xFF\xC3(\xED\xA0\x80z");
    jsonString(text, "none", nullptr);
    const char* options[] = {"-v", "--exclude=\xE9t\xE9"};
    jsonStrings(text, "options", options, 2);
    jsonNumber(text, "count", -12345678901LL);
    jsonDecimal(text, "seconds", 1.25);
    jsonBool(text, "yes", 1);
  });
  ASSERT_EQ('\n', line.back());
  EXPECT_EQ(line.size() - 1, line.find('\n')) << "one line: " << line;
  JsonValue value;
  std::string error;
  ASSERT_TRUE(parseJson(line, &value, &error)) << error << " in " << line;
  EXPECT_EQ("test", value["type"].str());
  EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", value["plain"].str());
  EXPECT_FALSE(value.has("plain_bytes"));
  EXPECT_EQ("a\"b\\c\n\t\x01\x7F\xC2\x85", value["marks"].str());
  // Controls reach no terminal raw, C1 (U+0085) included.
  EXPECT_NE(std::string::npos, line.find("\\u0001\\u007f\\u0085")) << line;
  // Every byte that is no UTF-8 (a surrogate's encoding included) is U+FFFD, and
  // the base64 beside it gives the bytes back.
  EXPECT_EQ("ab\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz", value["bad"].str());
  EXPECT_EQ("ab\xFF\xC3(\xED\xA0\x80z", fromBase64(value["bad_bytes"].str()));
  EXPECT_EQ(JsonValue::null, value["none"].kind);
  ASSERT_EQ(2u, value["options"].items.size());
  ASSERT_EQ(2u, value["options_bytes"].items.size());
  EXPECT_EQ("-v", fromBase64(value["options_bytes"].items[0].str()));
  EXPECT_EQ("--exclude=\xE9t\xE9", fromBase64(value["options_bytes"].items[1].str()));
  EXPECT_EQ(-12345678901LL, value["count"].integer());
  EXPECT_EQ("1.250", value["seconds"].text);
  EXPECT_TRUE(value["yes"].flag);
}

TEST(JsonText, PathsLoseTheirLeadingSeparatorAndUseSlashes) {
  std::string line = printedObject([](JsonText* text) {
    std::string path = std::string(1, pathSeparator) + "docs" + pathSeparator + "a b.txt";
    jsonPath(text, "path", path.c_str());
    jsonPath(text, "root", "");
  });
  JsonValue value;
  std::string error;
  ASSERT_TRUE(parseJson(line, &value, &error)) << error;
  EXPECT_EQ("docs/a b.txt", value["path"].str());
  EXPECT_EQ("", value["root"].str());
}

TEST(JsonText, TheReaderRefusesWhatIsNotStrictJson) {
  JsonValue value;
  std::string error;
  for (const char* bad : {"{\"a\":1,}", "{\"a\":01}", "{\"a\":\"\x01\"}", "{\"a\":\"\\udc00\"}",
                          "{\"a\":1,\"a\":2}", "{\"a\":\"\xFF\"}", "{\"a\":1} x", "{'a':1}"})
    EXPECT_FALSE(parseJson(bad, &value, &error)) << bad;
  EXPECT_TRUE(parseJson("{\"a\":[1,-2.5e3,true,null,\"\\ud83d\\ude00\"]}", &value, &error))
      << error;
  EXPECT_EQ("\xF0\x9F\x98\x80", value["a"].items[4].str());
}

}  // namespace
