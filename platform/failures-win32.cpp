// Windows bodies of the failure reports: the last error and its text, and the log's
// appends.
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "platform/platform.h"

int lastFailureCode() {
  return static_cast<int>(GetLastError());
}

void describeSystemFailure(int code, char* text, size_t size) {
  if (size == 0) return;
  wchar_t wide[512];
  DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, wide, 512, nullptr);
  // The system's texts end in a period and a line end; the line adds its own.
  while (units > 0 && (wide[units - 1] == L'\r' || wide[units - 1] == L'\n' ||
                       wide[units - 1] == L'.' || wide[units - 1] == L' '))
    --units;
  int bytes = units == 0 ? 0
                         : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), text,
                                               static_cast<int>(size - 1), nullptr, nullptr);
  if (bytes <= 0) {
    snprintf(text, size, "system error %d", code);
    return;
  }
  text[bytes] = '\0';
}

int isTooManyOpenFiles(int code) {
  return code == ERROR_TOO_MANY_OPEN_FILES;
}

int isAlreadyExists(int code) {
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

int isNoHardLinkFailure(int code) {
  return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_TOO_MANY_LINKS || code == ERROR_NOT_SAME_DEVICE;
}

int isNoLinkFailure(int code) {
  return code == ERROR_PRIVILEGE_NOT_HELD || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_FUNCTION;
}

int isAccessDenied(int code) {
  return code == ERROR_ACCESS_DENIED;
}

int isFolderNotEmpty(int code) {
  return code == ERROR_DIR_NOT_EMPTY;
}

int isNoSuchEntry(int code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

int appendToFile(FILE* file, const char* text, size_t length) {
  // Line ends become CR LF here, and the whole text goes in one write: the handle
  // may only append, so the system puts each write whole at the file's end.
  char* converted = static_cast<char*>(malloc(length * 2 + 1));
  if (!converted) return 1;
  size_t size = 0;
  for (size_t at = 0; at < length; ++at) {
    if (text[at] == '\n') converted[size++] = '\r';
    converted[size++] = text[at];
  }
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  DWORD written = 0;
  int failed = handle == INVALID_HANDLE_VALUE ||
               !WriteFile(handle, converted, static_cast<DWORD>(size), &written, nullptr) ||
               written != size;
  free(converted);
  return failed;
}
