// POSIX bodies of the failure reports: errno and its text, standard error, and the
// log's appends.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "platform/kept_failure.h"
#include "platform/platform.h"

int lastFailureCode() {
  return errno;
}

void describeSystemFailure(int code, char* text, size_t size) {
  if (size == 0) return;
  // The thread-safe form: the run's lines must not take another thread's text.
  char own[256];
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* described = strerror_r(code, own, sizeof own);
#else
  const char* described = strerror_r(code, own, sizeof own) == 0 ? own : "unknown error";
#endif
  snprintf(text, size, "%s", described);
}

int isTooManyOpenFiles(int code) {
  return code == EMFILE || code == ENFILE;
}

int isAlreadyExists(int code) {
  return code == EEXIST;
}

int isNoHardLinkFailure(int code) {
  return code == EPERM || code == EMLINK || code == EXDEV || code == ENOTSUP ||
         code == EOPNOTSUPP || code == ENOSYS;
}

int isNoLinkFailure(int code) {
  return code == EPERM || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS;
}

int isAccessDenied(int code) {
  return code == EACCES || code == EPERM;
}

int isFolderNotEmpty(int code) {
  return code == ENOTEMPTY || code == EEXIST;
}

int isNoSuchEntry(int code) {
  return code == ENOENT;
}

int errorPrintf(const char* format, ...) {
  KeptFailureCode kept;  // the reason of a failure told after this stays its own
  va_list arguments;
  va_start(arguments, format);
  if (const OutputDiversion* diversion = threadOutputDiversion()) {
    int formed = divertFormatted(diversion, outputError, format, arguments);
    va_end(arguments);
    return formed;
  }
  // The progress line is erased first and drawn again after. What standard output
  // holds comes first: a run whose two streams go to one file reads in order.
  beginConsoleLine(stderr);
  fflush(stdout);
  int printed = vfprintf(stderr, format, arguments);
  endConsoleLine();
  va_end(arguments);
  return printed;
}

int appendToFile(FILE* file, const char* text, size_t length) {
  // The stream was opened for appending (O_APPEND): each write lands whole at the
  // end, whatever other processes append. Only a full disk or a signal splits one.
  int descriptor = fileno(file);
  while (length > 0) {
    ssize_t written = write(descriptor, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return 1;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}
