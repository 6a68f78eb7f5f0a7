// Printing never changes the reason of a failure: the console's own calls (a look at
// whether it is a terminal, a write) set errno and the last error, and the line that
// tells a failure is often printed before its reason is read. Platform bodies only.
#pragma once

#include <errno.h>

#include "platform/platform.h"

#if defined(TALVEN_WINDOWS)
#include <windows.h>
#endif

/// Keeps errno (and on Windows the last error) as they were when it was made, and
/// puts them back when it goes.
struct KeptFailureCode {
  int code = errno;
#if defined(TALVEN_WINDOWS)
  DWORD last = GetLastError();
  ~KeptFailureCode() {
    errno = code;
    SetLastError(last);
  }
#else
  ~KeptFailureCode() {
    errno = code;
  }
#endif
};
