// Windows bodies of the UTF-8 and UTF-16 conversions and of the \\?\ path form.
#include "platform/utf16-win32.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

namespace {
bool startsWith(const wchar_t* text, const wchar_t* prefix) {
  return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// full (absolute, as GetFullPathNameW gives it) with the prefix that lifts the
// length limit: \\?\C:\... for a drive, \\?\UNC\server\share\... for a share.
wchar_t* withLongPrefix(const wchar_t* full, size_t length) {
  const wchar_t* prefix = L"";
  const wchar_t* rest = full;
  if (length >= 2 && full[1] == L':') {
    prefix = L"\\\\?\\";
  } else if (length >= 2 && full[0] == L'\\' && full[1] == L'\\') {
    prefix = L"\\\\?\\UNC\\";
    rest = full + 2;
  }
  size_t prefixLength = wcslen(prefix);
  size_t restLength = length - static_cast<size_t>(rest - full);
  if (prefixLength + restLength > widePathLimit) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  wchar_t* out = static_cast<wchar_t*>(malloc((prefixLength + restLength + 1) * sizeof(wchar_t)));
  if (!out) return nullptr;
  memcpy(out, prefix, prefixLength * sizeof(wchar_t));
  memcpy(out + prefixLength, rest, (restLength + 1) * sizeof(wchar_t));
  return out;
}

// The absolute form the system gives for start, a root or a relative start (".",
// "\\", "X:"), which holds no name of the caller's: a new buffer, null on failure.
wchar_t* systemAbsolute(const wchar_t* start) {
  DWORD size = GetFullPathNameW(start, 0, nullptr, nullptr);
  if (size == 0) return nullptr;
  wchar_t* full = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
  if (!full) return nullptr;
  DWORD length = GetFullPathNameW(start, size, full, nullptr);
  if (length > 0 && length < size) return full;
  free(full);
  return nullptr;
}

bool isWideSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Units of an absolute path's root, its separator included: X:\ or \\server\share\.
size_t wideRootLength(const wchar_t* full) {
  if (full[0] != L'\0' && full[1] == L':') return isWideSeparator(full[2]) ? 3 : 2;
  size_t at = 2;
  for (int separators = 0; full[at] != L'\0'; ++at)
    if (isWideSeparator(full[at]) && ++separators == 2) return at + 1;
  return at;
}

// Appends the names of rest to path (an absolute path, length units, in a buffer
// large enough), each as it is written: "." is dropped and ".." takes one name off,
// never the root; a separator that ends rest stays. Returns the new length.
size_t appendNames(wchar_t* path, size_t length, size_t root, const wchar_t* rest) {
  size_t restLength = wcslen(rest);
  bool endsInSeparator = restLength > 0 && isWideSeparator(rest[restLength - 1]);
  for (;;) {
    while (isWideSeparator(*rest)) ++rest;
    if (*rest == L'\0') break;
    const wchar_t* end = rest;
    while (*end && !isWideSeparator(*end)) ++end;
    size_t nameLength = static_cast<size_t>(end - rest);
    if (nameLength == 2 && rest[0] == L'.' && rest[1] == L'.') {
      while (length > root && !isWideSeparator(path[length - 1])) --length;
      while (length > root && isWideSeparator(path[length - 1])) --length;
    } else if (nameLength != 1 || rest[0] != L'.') {
      if (length > 0 && !isWideSeparator(path[length - 1])) path[length++] = L'\\';
      memcpy(path + length, rest, nameLength * sizeof(wchar_t));
      length += nameLength;
    }
    rest = end;
  }
  if (endsInSeparator && length > 0 && !isWideSeparator(path[length - 1])) path[length++] = L'\\';
  path[length] = L'\0';
  return length;
}

// The absolute, prefixed form of a wide path; null when it cannot be formed. Every
// name is kept as it is written: the system's own making of an absolute path takes
// a device name (aux.txt, CON.log, lpt1) for the device and cuts the trailing dots
// and spaces off names (e., "b "), so that the calls would reach another file than
// the one listed, or none. Only the start of a path (its root, the current folder or
// a drive's) is asked of the system.
wchar_t* longForm(const wchar_t* wide) {
  // Already in a form that the system takes as it stands.
  if (startsWith(wide, L"\\\\?\\") || startsWith(wide, L"\\\\.\\")) return _wcsdup(wide);
  if (wide[0] == L'\0') return _wcsdup(wide);  // an empty path fails as it is
  const wchar_t* rest = wide;
  wchar_t drive[3] = {wide[0], L':', L'\0'};
  const wchar_t* start = L".";
  if (wide[0] != L'\0' && wide[1] == L':') {
    start = drive;  // X:\... or X:relative
    rest = wide + 2;
  } else if (isWideSeparator(wide[0]) && isWideSeparator(wide[1])) {
    start = nullptr;  // \\server\share\...: absolute as it stands
  } else if (isWideSeparator(wide[0])) {
    start = L"\\";  // the current drive's root
  }
  wchar_t* base = start ? systemAbsolute(start) : nullptr;
  if (start && !base) return nullptr;
  size_t baseLength = base ? wcslen(base) : 0;
  wchar_t* full = static_cast<wchar_t*>(malloc((baseLength + wcslen(rest) + 3) * sizeof(wchar_t)));
  if (!full) {
    free(base);
    return nullptr;
  }
  size_t length = 0;
  if (base) {
    // A rooted rest (X:\..., \...) starts at the root; a relative one at base.
    length = isWideSeparator(rest[0]) ? wideRootLength(base) : baseLength;
    memcpy(full, base, length * sizeof(wchar_t));
    free(base);
  } else {
    // \\server\share\: the root is written as it is, the names below it kept too.
    length = wideRootLength(wide);
    memcpy(full, wide, length * sizeof(wchar_t));
    for (size_t at = 0; at < length; ++at)
      if (full[at] == L'/') full[at] = L'\\';
    rest = wide + length;
  }
  full[length] = L'\0';
  length = appendNames(full, length, wideRootLength(full), rest);
  wchar_t* out = withLongPrefix(full, length);
  free(full);
  return out;
}
}  // namespace

wchar_t* widenText(const char* text, size_t length, int lenient, size_t* wideLength) {
  DWORD flags = lenient ? 0 : MB_ERR_INVALID_CHARS;
  int units = length == 0
                  ? 0
                  : MultiByteToWideChar(CP_UTF8, flags, text, static_cast<int>(length), nullptr, 0);
  if (length > 0 && units == 0) return nullptr;
  wchar_t* wide = static_cast<wchar_t*>(malloc((static_cast<size_t>(units) + 1) * sizeof(wchar_t)));
  if (!wide) return nullptr;
  if (units > 0) MultiByteToWideChar(CP_UTF8, flags, text, static_cast<int>(length), wide, units);
  wide[units] = L'\0';
  if (wideLength) *wideLength = static_cast<size_t>(units);
  return wide;
}

WidePath::WidePath(const char* path) : text(nullptr) {
  size_t length = strlen(path);
  // Three bytes of UTF-8 make at least one unit: a longer path cannot fit at all.
  if (length > 3 * widePathLimit) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  wchar_t* wide = widenText(path, length, 0, nullptr);
  if (!wide) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return;
  }
  text = longForm(wide);
  free(wide);
}

WidePath::~WidePath() {
  free(text);
}

int narrowName(const wchar_t* name, char* out, size_t outSize) {
  int size = static_cast<int>(outSize);
  int bytes =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, out, size, nullptr, nullptr);
  if (bytes > 0) return narrowDone;
  out[0] = '\0';
  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) return narrowTooLong;
  // A lone surrogate: a readable stand-in for the messages, never a name to use.
  bytes = WideCharToMultiByte(CP_UTF8, 0, name, -1, out, size, nullptr, nullptr);
  if (bytes == 0) out[0] = '\0';
  return narrowUnconvertible;
}

int narrowPath(const wchar_t* path, size_t wideLength, char* out, size_t outSize) {
  const wchar_t* plain = path;
  wchar_t* unc = nullptr;
  if (wideLength >= 8 && wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    // \\?\UNC\server\share becomes \\server\share again.
    unc = _wcsdup(path + 6);
    if (!unc) return 1;
    unc[0] = L'\\';
    plain = unc;
    wideLength -= 6;
  } else if (wideLength >= 4 && wcsncmp(path, L"\\\\?\\", 4) == 0) {
    plain = path + 4;
    wideLength -= 4;
  }
  int bytes = wideLength == 0 ? 0
                              : WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, plain,
                                                    static_cast<int>(wideLength), out,
                                                    static_cast<int>(outSize), nullptr, nullptr);
  free(unc);
  if ((wideLength > 0 && bytes == 0) || static_cast<size_t>(bytes) >= outSize) return 1;
  out[bytes] = '\0';
  return 0;
}

// The wide command line holds the arguments whatever the ANSI code page; the C
// runtime's narrow ones would have lost every character outside it.
char** programArguments(int* argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return argv;
  char** arguments = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  int converted = arguments != nullptr && count > 0;
  for (int i = 1; converted && i < count; ++i) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    arguments[i] = bytes > 0 ? static_cast<char*>(malloc(static_cast<size_t>(bytes))) : nullptr;
    if (!arguments[i])
      converted = 0;
    else
      WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arguments[i], bytes, nullptr, nullptr);
  }
  LocalFree(wide);
  if (!converted) {
    // The program's own arguments then, as the runtime split them.
    for (int i = 1; arguments && i < count; ++i) free(arguments[i]);
    free(arguments);
    return argv;
  }
  // The usage line shows the program's name as the runtime gave it.
  arguments[0] = argv[0];
  *argc = count;
  return arguments;
}
