// The lines that tell a failed action on standard error, with the system's reason.
#pragma once

#include <cstddef>

/// Reasons the program finds itself, beside the system's codes (0 and above).
enum OwnFailure {
  failurePathTooLong = -1,  ///< the joined path does not fit a path buffer
  failureIsOpenLog = -2,    ///< the file is the log this run writes
  failureTestFault = -3,    ///< a fault a test seam made
  failureNotRegular = -4,   ///< the source is no regular file any more (a pipe, a device)
  failureNoMemory = -5,     ///< memory ran out for the work
};

/// Writes the text of code, a code of lastFailureCode or an OwnFailure, into text
/// (size bytes, always terminated).
void describeFailure(int code, char* text, size_t size);

/// Prints "Could not <action> [<path><rest>]: <reason>" on standard error, with or
/// without -v; control characters in the path are escaped as in the log. rest may be
/// null; code is a code of lastFailureCode or an OwnFailure.
void reportFailure(const char* action, const char* path, const char* rest, int code);

/// Writes the words a failure line gives for code (a code of lastFailureCode or an
/// OwnFailure) into text (size bytes, always terminated).
void describeFailure(int code, char* text, size_t size);

/// The same line with a reason the program words itself.
void reportFailureReason(const char* action, const char* path, const char* rest,
                         const char* reason);

/// Bytes path takes once its control characters are escaped, terminator not counted.
size_t escapedLength(const char* path);
/// Writes path into out with every byte below 0x20, and 0x7f, as \xHH (a newline is
/// \x0a); the rest unchanged. Returns the end of what it wrote (not terminated).
char* writeEscaped(char* out, const char* path);
