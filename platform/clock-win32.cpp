// Windows bodies of the destination-clock questions: the file system's name as the
// volume gives it. Only the FAT family is believed: a network share, or Wine over
// a host's file system, may call itself NTFS and still keep coarser times.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/utf16-win32.h"

int fileSystemClockKind(const char* folder) {
  WidePath wide(folder);
  if (!wide.text) return clockKindUnknown;
  wchar_t volume[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (!GetVolumePathNameW(wide.text, volume, MAX_PATH + 1) ||
      !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
    return clockKindUnknown;
  if (wcscmp(name, L"FAT") == 0 || wcscmp(name, L"FAT32") == 0) return clockKindFat;
  if (wcscmp(name, L"exFAT") == 0) return clockKindExfat;
  return clockKindUnknown;
}
