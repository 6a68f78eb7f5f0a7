// Windows bodies of the single-file operations: what an entry is, times, folders,
// deletions, moves, further names of a file, and the targets that links store. Every path goes
// through its wide \\?\ form.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include "platform/entries-win32.h"
#include "platform/folders.h"
#include "platform/metadata.h"
#include "platform/platform.h"
#include "platform/utf16-win32.h"

HANDLE openWideForInformation(const wchar_t* path, int ownLink) {
  if (!path) return INVALID_HANDLE_VALUE;
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

HANDLE openForInformation(const char* path, int ownLink) {
  WidePath wide(path);
  return openWideForInformation(wide.text, ownLink);
}

DWORD attributesOf(const char* path) {
  WidePath wide(path);
  return wide.text ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
}

int readOwnEntry(const char* path, DWORD* attributes, DWORD* reparseTag) {
  WidePath wide(path);
  return wide.text ? readOwnWideEntry(wide.text, attributes, reparseTag) : 1;
}

int readOwnWideEntry(const wchar_t* path, DWORD* attributes, DWORD* reparseTag) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return 1;
  FindClose(search);
  *attributes = found.dwFileAttributes;
  *reparseTag = found.dwReserved0;
  return 0;
}

int setFileTimes(const char* path, FileTime time) {
  WidePath wide(path);
  if (!wide.text) return 1;
  HANDLE file = CreateFileW(wide.text, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  FILETIME stamp = {time.low, time.high};
  int result = SetFileTime(file, &stamp, &stamp, &stamp) ? 0 : 2;
  CloseHandle(file);
  return result;
}

int getFileTime(const char* path, FileTime* time) {
  HANDLE file = openForInformation(path, 0);
  if (file == INVALID_HANDLE_VALUE) return 1;
  FILETIME lastWrite;
  int failed = !GetFileTime(file, nullptr, nullptr, &lastWrite);
  CloseHandle(file);
  if (failed) return 1;
  *time = fromFiletime(lastWrite);
  return 0;
}

int readEntryMetadata(const char* path, EntryMetadata* metadata) {
  // The attributes an exact mirror keeps: read-only, hidden, system, archive and
  // not-content-indexed.
  constexpr DWORD keptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  HANDLE file = openForInformation(path, 0);
  if (file == INVALID_HANDLE_VALUE) return 1;
  FILE_BASIC_INFO basic;
  int failed = !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
  CloseHandle(file);
  if (failed) return 1;
  uint64_t change = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
  *metadata =
      EntryMetadata{0, 0, 0, basic.FileAttributes & keptAttributes,
                    FileTime{static_cast<uint32_t>(change), static_cast<uint32_t>(change >> 32)}};
  return 0;
}

int makeDirectory(const char* path) {
  WidePath wide(path);
  return wide.text && CreateDirectoryW(wide.text, nullptr) ? 0 : 1;
}

int deleteFile(const char* path) {
  WidePath wide(path);
  return wide.text && DeleteFileW(wide.text) ? 0 : 1;
}

namespace {
int moveFile(const char* from, const char* to, DWORD flags) {
  WidePath wideFrom(from);
  WidePath wideTo(to);
  if (!wideFrom.text || !wideTo.text) return 1;
  return MoveFileExW(wideFrom.text, wideTo.text, flags) ? 0 : 1;
}

// A file link in the destination would make the copier write through it into
// whatever file it names, perhaps outside the destination tree.
int removeLinkAt(const char* path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return 0;
  DWORD reparseTag = 0;
  if (readOwnEntry(path, &attributes, &reparseTag)) return 1;
  if (!leadsElsewhere(attributes, reparseTag)) return 0;
  return deleteFile(path);
}
}  // namespace

// Written through: a move that puts a copy in place is on disk when it returns.
int replaceFile(const char* from, const char* to) {
  return moveFile(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

int moveFileIfAbsent(const char* from, const char* to) {
  return moveFile(from, to, MOVEFILE_WRITE_THROUGH);
}

int checkReplaceable(const char* path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return replaceableFree;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // Told as the reason of the refusal, as the system tells it for a file made there.
    SetLastError(ERROR_ACCESS_DENIED);
    return replaceableRefused;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (removeLinkAt(path) != 0) return replaceableLinkKept;
    if (attributesOf(path) == INVALID_FILE_ATTRIBUTES) return replaceableFree;
  }
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return replaceableFile;
  SetLastError(ERROR_ACCESS_DENIED);
  return replaceableRefused;
}

int fileIdentity(const char* path, FileIdentity* identity) {
  HANDLE file = openForInformation(path, 1);
  if (file == INVALID_HANDLE_VALUE) return 1;
  BY_HANDLE_FILE_INFORMATION information;
  int failed = !GetFileInformationByHandle(file, &information);
  CloseHandle(file);
  if (failed) return 1;
  identity->volume = information.dwVolumeSerialNumber;
  identity->index = wholeSize(information.nFileIndexHigh, information.nFileIndexLow);
  return 0;
}

namespace {
// The layout that starts the reparse data of a symbolic link or junction, which the
// headers for programs lack: the tag, then where the two names lie, in bytes from
// the start of the names, which follow (after a symbolic link's flags).
struct ReparseHeader {
  ULONG tag;
  USHORT dataBytes;
  USHORT reserved;
  USHORT substituteOffset;
  USHORT substituteBytes;
  USHORT printOffset;
  USHORT printBytes;
};
// A symbolic link's flags (1: its target is relative) come before its names.
constexpr size_t symbolicLinkFlagsBytes = 4;
// The part of the header that its data's length leaves out.
constexpr size_t reparseHeadBytes = 8;
}  // namespace

DWORD storedTargetOf(const unsigned char* data, DWORD size, char* out, size_t* length) {
  ReparseHeader header;
  if (size < sizeof header) return ERROR_INVALID_REPARSE_DATA;
  memcpy(&header, data, sizeof header);
  if (!isLinkTag(header.tag)) return ERROR_INVALID_REPARSE_DATA;
  bool link = header.tag == IO_REPARSE_TAG_SYMLINK;
  size_t names = sizeof header + (link ? symbolicLinkFlagsBytes : 0);
  bool print = link && header.printBytes > 0;
  size_t offset = print ? header.printOffset : header.substituteOffset;
  size_t bytes = print ? header.printBytes : header.substituteBytes;
  if (bytes == 0 || bytes % 2 != 0 || names + offset + bytes > size)
    return ERROR_INVALID_REPARSE_DATA;
  // The names need not lie on a unit's boundary: copied to one first.
  wchar_t* name = static_cast<wchar_t*>(malloc(bytes));
  if (!name) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(name, data + names + offset, bytes);
  int written =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, static_cast<int>(bytes / 2), out,
                          static_cast<int>(storedTargetSize - 1), nullptr, nullptr);
  DWORD error = written > 0 ? 0 : GetLastError();
  free(name);
  if (error != 0) return error;
  out[written] = '\0';
  *length = static_cast<size_t>(written);
  return 0;
}

DWORD readStoredTarget(const wchar_t* path, char* out, size_t* length) {
  HANDLE entry = CreateFileW(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (entry == INVALID_HANDLE_VALUE) return GetLastError();
  unsigned char* data = static_cast<unsigned char*>(malloc(MAXIMUM_REPARSE_DATA_BUFFER_SIZE));
  DWORD got = 0;
  DWORD error = 0;
  if (!data)
    error = ERROR_NOT_ENOUGH_MEMORY;
  else if (!DeviceIoControl(entry, FSCTL_GET_REPARSE_POINT, nullptr, 0, data,
                            MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &got, nullptr))
    error = GetLastError();
  CloseHandle(entry);
  if (error == 0) error = storedTargetOf(data, got, out, length);
  free(data);
  return error;
}

DWORD junctionDataOf(const wchar_t* target, size_t units, unsigned char* data, DWORD* size) {
  // The print name, which the system shows, is the path after \??\ where that is a
  // drive's (C:\...); a volume's name (\??\Volume{...}\) has none.
  bool drive = units >= 7 && target[5] == L':' && target[6] == L'\\';
  size_t printUnits = drive ? units - 4 : 0;
  size_t namesBytes = (units + 1 + printUnits + 1) * sizeof(wchar_t);
  size_t whole = sizeof(ReparseHeader) + namesBytes;
  if (whole > MAXIMUM_REPARSE_DATA_BUFFER_SIZE) return ERROR_INVALID_REPARSE_DATA;
  ReparseHeader header = {IO_REPARSE_TAG_MOUNT_POINT,
                          static_cast<USHORT>(whole - reparseHeadBytes),
                          0,
                          0,
                          static_cast<USHORT>(units * sizeof(wchar_t)),
                          static_cast<USHORT>((units + 1) * sizeof(wchar_t)),
                          static_cast<USHORT>(printUnits * sizeof(wchar_t))};
  memset(data, 0, whole);
  memcpy(data, &header, sizeof header);
  memcpy(data + sizeof header, target, units * sizeof(wchar_t));
  if (drive)
    memcpy(data + sizeof header + (units + 1) * sizeof(wchar_t), target + 4,
           printUnits * sizeof(wchar_t));
  *size = static_cast<DWORD>(whole);
  return 0;
}

namespace {
// The layout that starts a FILE_LINK_INFORMATION record, which the headers for
// programs lack; the name follows.
struct LinkInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG nameBytes;
  WCHAR name[1];
};
typedef LONG(WINAPI* SetInformationFile)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
typedef ULONG(WINAPI* StatusToError)(LONG);
constexpr int fileLinkInformation = 11;

}  // namespace

DWORD nameFileIn(HANDLE file, HANDLE folder, const wchar_t* name) {
  static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  static const SetInformationFile setInformation = reinterpret_cast<SetInformationFile>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtSetInformationFile")));
  static const StatusToError toError = reinterpret_cast<StatusToError>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (!setInformation || !toError) return ERROR_NOT_SUPPORTED;
  size_t bytes = wcslen(name) * sizeof(wchar_t);
  size_t size = offsetof(LinkInformation, name) + bytes;
  LinkInformation* information = static_cast<LinkInformation*>(calloc(1, size));
  if (!information) return ERROR_NOT_ENOUGH_MEMORY;
  information->replaceIfExists = FALSE;
  information->rootDirectory = folder;
  information->nameBytes = static_cast<ULONG>(bytes);
  memcpy(information->name, name, bytes);
  IO_STATUS_BLOCK status;
  LONG result =
      setInformation(file, &status, information, static_cast<ULONG>(size), fileLinkInformation);
  free(information);
  return result >= 0 ? 0 : toError(result);
}
