// The boundary between UTF-8 paths and the wide calls (Windows only).
#include <gtest/gtest.h>

#include "platform/platform.h"

#if defined(TALVEN_WINDOWS)
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <string>

#include "collect/path_key.h"
#include "platform/utf16-win32.h"

namespace {
TEST(Utf16Boundary, PathsBecomeAbsoluteLongFormsOrNothing) {
  WidePath drive("C:\\users\\日本");
  ASSERT_NE(nullptr, drive.text);
  EXPECT_STREQ(L"\\\\?\\C:\\users\\\x65E5\x672C", drive.text);
  WidePath share("\\\\server\\share\\é");
  ASSERT_NE(nullptr, share.text);
  EXPECT_STREQ(L"\\\\?\\UNC\\server\\share\\\xE9", share.text);
  // A relative path is made absolute first: the long form takes no relative parts.
  WidePath relative("a\\..\\b");
  ASSERT_NE(nullptr, relative.text);
  EXPECT_EQ(0, wcsncmp(relative.text, L"\\\\?\\", 4));
  EXPECT_EQ(nullptr, wcsstr(relative.text, L".."));
  // Bytes that are no UTF-8 name nothing; neither does a path past the system's limit.
  EXPECT_EQ(nullptr, WidePath("C:\\bad\xFF").text);
  EXPECT_EQ(nullptr, WidePath(("C:\\" + std::string(widePathLimit, 'x')).c_str()).text);
  std::string longest = "C:\\" + std::string(widePathLimit - 7, 'x');
  EXPECT_NE(nullptr, WidePath(longest.c_str()).text);
}

TEST(Utf16Boundary, NamesAreKeptAsWrittenInTheLongForm) {
  // Device names and trailing dots or spaces name files of their own below \\?\.
  const char* kept[][2] = {{"C:\\dst\\aux.txt", "C:\\dst\\aux.txt"},
                           {"C:\\dst\\CON.log", "C:\\dst\\CON.log"},
                           {"C:\\dst\\lpt1", "C:\\dst\\lpt1"},
                           {"C:\\dst\\nul.txt.", "C:\\dst\\nul.txt."},
                           {"C:\\dst\\b ", "C:\\dst\\b "},
                           {"C:\\e.\\f.", "C:\\e.\\f."},
                           // "." and ".." by name, never above the root.
                           {"C:/a/./b/../c/", "C:\\a\\c\\"},
                           {"C:\\..\\..\\x", "C:\\x"},
                           {"\\\\server\\share\\..\\x ", "\\\\server\\share\\x "},
                           {"\\\\?\\C:\\as\\is.", "C:\\as\\is."}};
  for (const auto& path : kept) {
    WidePath wide(path[0]);
    ASSERT_NE(nullptr, wide.text) << path[0];
    EXPECT_EQ(0, wcsncmp(wide.text, L"\\\\?\\", 4)) << path[0];
    // Read back without its prefix (\\?\UNC\ as \\ again).
    char narrow[256];
    ASSERT_EQ(0, narrowPath(wide.text, wcslen(wide.text), narrow, sizeof narrow));
    EXPECT_STREQ(path[1], narrow) << path[0];
  }
  // A relative path starts at the current folder, its names kept too.
  WidePath relative("sub\\aux.txt");
  ASSERT_NE(nullptr, relative.text);
  size_t length = wcslen(relative.text);
  EXPECT_EQ(0, wcscmp(relative.text + length - 12, L"\\sub\\aux.txt"));
}

TEST(Utf16Boundary, NamesComeBackAsUtf8OrAreFlagged) {
  char out[64];
  EXPECT_EQ(narrowDone, narrowName(L"\x65E5-\xE9-\xD83D\xDE00", out, sizeof out));
  EXPECT_STREQ("日-é-😀", out);
  // A lone surrogate: flagged, with a stand-in for the messages.
  EXPECT_EQ(narrowUnconvertible, narrowName(L"lone-\xD800.txt", out, sizeof out));
  EXPECT_STREQ("lone-\xEF\xBF\xBD.txt", out);
  EXPECT_EQ(narrowTooLong, narrowName(L"0123456789", out, 5));
  EXPECT_STREQ("", out);
}

TEST(Utf16Boundary, FinalPathsLoseTheirLongPrefix) {
  char out[64];
  const wchar_t* drive = L"\\\\?\\Z:\\tmp\\\xE9";
  ASSERT_EQ(0, narrowPath(drive, wcslen(drive), out, sizeof out));
  EXPECT_STREQ("Z:\\tmp\\é", out);
  const wchar_t* share = L"\\\\?\\UNC\\server\\share";
  ASSERT_EQ(0, narrowPath(share, wcslen(share), out, sizeof out));
  EXPECT_STREQ("\\\\server\\share", out);
  EXPECT_EQ(1, narrowPath(drive, wcslen(drive), out, 8));
}

// The manifest embedded in the programs (the tests' own too) makes UTF-8 the ANSI
// code page where the system honours it (Windows 10 1903 and later, Wine).
TEST(Utf16Boundary, TheManifestAsksForTheUtf8CodePage) {
  EXPECT_EQ(65001u, GetACP());
}

// Names that NTFS takes as one: the comparison and the path key must agree on them.
TEST(NameMatching, LettersBeyondAsciiFoldAsTheSystemFoldsThem) {
  buildPathKeyTable();
  const char* twins[][2] = {
      {"\\É.txt", "\\é.TXT"}, {"\\ΩMEGA", "\\ωmega"}, {"\\Жук\\Ärger", "\\жук\\ärger"}};
  for (const auto& twin : twins) {
    EXPECT_TRUE(pathNamesEqual(twin[0], twin[1])) << twin[0];
    EXPECT_EQ(computePathKey(twin[0], strlen(twin[0])), computePathKey(twin[1], strlen(twin[1])))
        << twin[0];
  }
  const char* apart[][2] = {{"ß", "ss"}, {"😀", "😁"}, {"\xC3", "\xC3\xA9"}, {"日本", "日本語"}};
  for (const auto& pair : apart) EXPECT_FALSE(pathNamesEqual(pair[0], pair[1])) << pair[0];
  // Bytes that are no UTF-8 compare as they are.
  EXPECT_TRUE(pathNamesEqual("x\xFF\xC3", "X\xFF\xC3"));
  // Prefixes: a character cut at n is compared by its bytes.
  EXPECT_TRUE(pathNamesEqualN("C:\\É\\a", "c:\\é\\b", 6));
  EXPECT_FALSE(pathNamesEqualN("C:\\É\\a", "c:\\é\\b", 7));
  EXPECT_TRUE(pathNamesEqualN("\xC3\x89", "\xC3\xA9", 1));
}
}  // namespace
#endif
