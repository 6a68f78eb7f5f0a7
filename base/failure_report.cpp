#include "base/failure_report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {
bool isControl(unsigned char c) {
  return c < 0x20 || c == 0x7f;
}
}  // namespace

void describeFailure(int code, char* text, size_t size) {
  const char* own = nullptr;
  switch (code) {
    case failurePathTooLong: own = "the path is too long"; break;
    case failureIsOpenLog: own = "it is the log this run writes"; break;
    case failureTestFault: own = "a fault made by a test"; break;
    case failureNotRegular: own = "it is not a regular file"; break;
    case failureNoMemory: own = "out of memory"; break;
    case 0: own = "the system gave no reason"; break;
    default: break;
  }
  if (own)
    snprintf(text, size, "%s", own);
  else
    describeSystemFailure(code, text, size);
}

namespace {
// The escaped form of text in a buffer of its own (free it), or null.
char* escapedCopy(const char* text) {
  char* copy = static_cast<char*>(malloc(escapedLength(text) + 1));
  if (copy) *writeEscaped(copy, text) = '\0';
  return copy;
}
}  // namespace

size_t escapedLength(const char* path) {
  size_t length = 0;
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(path); *at; ++at)
    length += isControl(*at) ? 4 : 1;
  return length;
}

char* writeEscaped(char* out, const char* path) {
  static const char digits[] = "0123456789abcdef";
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(path); *at; ++at) {
    if (!isControl(*at)) {
      *out++ = static_cast<char>(*at);
      continue;
    }
    *out++ = '\\';
    *out++ = 'x';
    *out++ = digits[*at >> 4];
    *out++ = digits[*at & 15];
  }
  return out;
}

void reportFailure(const char* action, const char* path, const char* rest, int code) {
  char reason[512];
  describeFailure(code, reason, sizeof reason);
  reportFailureReason(action, path, rest, reason);
}

void reportFailureReason(const char* action, const char* path, const char* rest,
                         const char* reason) {
  char* shownPath = escapedCopy(path);
  char* shownRest = escapedCopy(rest ? rest : "");
  errorPrintf("Could not %s [%s%s]: %s\n", action, shownPath ? shownPath : path,
              shownRest ? shownRest : "", reason);
  free(shownPath);
  free(shownRest);
}
