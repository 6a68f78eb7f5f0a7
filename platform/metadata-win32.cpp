// Windows bodies of the metadata an exact mirror keeps: the attributes read-only,
// hidden, system, archive and not-content-indexed (metadataAttributes), and the
// security descriptor (metadataAcls): its owner and DACL where the process may give
// a file any owner, its DACL alone otherwise. Permission bits, owners by number and
// extended attributes are POSIX's: nothing of them is read, set or counted here.
// Each entry is opened relative to the folder held for it, never through a reparse
// point, and changed through that one handle.
#include <aclapi.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include <initializer_list>

#include "platform/entries-win32.h"
#include "platform/metadata.h"
#include "platform/utf16-win32.h"

namespace {
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The one item the security descriptor is packed as, in its self-relative form.
constexpr char securityItem[] = "security";

// Appends one item (name, NUL, length, value) to extra; 0, or ERROR_NOT_ENOUGH_MEMORY.
DWORD appendItem(ExtraMetadata* extra, const char* name, const void* value, uint32_t length) {
  size_t nameBytes = strlen(name) + 1;
  size_t needed = extra->size + nameBytes + sizeof length + length;
  if (needed > extra->capacity) {
    char* grown = static_cast<char*>(realloc(extra->bytes, needed));
    if (!grown) return ERROR_NOT_ENOUGH_MEMORY;
    extra->bytes = grown;
    extra->capacity = needed;
  }
  char* at = extra->bytes + extra->size;
  memcpy(at, name, nameBytes);
  memcpy(at + nameBytes, &length, sizeof length);
  memcpy(at + nameBytes + sizeof length, value, length);
  extra->size = needed;
  return 0;
}

// The security descriptor that extra holds, or null (extra holds only it).
PSECURITY_DESCRIPTOR securityOf(const ExtraMetadata* extra) {
  constexpr size_t head = sizeof securityItem + sizeof(uint32_t);
  if (!extra || extra->size <= head || memcmp(extra->bytes, securityItem, sizeof securityItem) != 0)
    return nullptr;
  uint32_t length = 0;
  memcpy(&length, extra->bytes + sizeof securityItem, sizeof length);
  if (length != extra->size - head) return nullptr;
  PSECURITY_DESCRIPTOR descriptor = extra->bytes + head;
  return IsValidSecurityDescriptor(descriptor) ? descriptor : nullptr;
}

// Whether the process may give a file any owner: it holds the privilege to restore
// files, which is enabled here the first time it is asked (and taking ownership with
// it). Asked once a process.
bool mayGiveOwners() {
  static const bool may = [] {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
      return false;
    bool restore = false;
    for (const wchar_t* name : {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"}) {
      TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
      // Enabling a privilege the token lacks "succeeds" with ERROR_NOT_ALL_ASSIGNED.
      restore = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return restore;
  }();
  return may;
}

// The parts of a descriptor that are read and set: the owner only where it can be set.
SECURITY_INFORMATION securityParts() {
  return DACL_SECURITY_INFORMATION | (mayGiveOwners() ? OWNER_SECURITY_INFORMATION : 0);
}

// True for the codes of a file system that keeps no security descriptors.
bool keepsNoSecurity(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// Reads the security descriptor of the entry open at entry into extra (emptied);
// 0, or the system's code. A file system that keeps none reads as none.
DWORD readSecurity(HANDLE entry, ExtraMetadata* extra) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(entry, SE_FILE_OBJECT, securityParts(), nullptr, nullptr, nullptr,
                                nullptr, &descriptor);
  if (error == 0 && descriptor)
    error = appendItem(extra, securityItem, descriptor, GetSecurityDescriptorLength(descriptor));
  if (descriptor) LocalFree(descriptor);
  return keepsNoSecurity(error) ? 0 : error;
}

typedef LONG(WINAPI* CreateFileCall)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
                                     LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);
typedef ULONG(WINAPI* StatusToError)(LONG);
// The system's own open and its options: the entry itself, never what a reparse
// point leads to; folders too; with the privileges a backup program may use.
constexpr ULONG fileOpen = 1;
constexpr ULONG openOptions = 0x00200000 /* FILE_OPEN_REPARSE_POINT */ |
                              0x00004000 /* FILE_OPEN_FOR_BACKUP_INTENT */ |
                              0x00000020 /* FILE_SYNCHRONOUS_IO_NONALERT */;

// The option of the system's open that takes only an entry of kind.
ULONG kindOption(int kind) {
  if (kind == entryFile) return 0x00000040;    // FILE_NON_DIRECTORY_FILE
  if (kind == entryFolder) return 0x00000001;  // FILE_DIRECTORY_FILE
  return 0;
}

// Opens the entry name of the folder open at folder, relative to that handle, with
// access; "." is the folder itself. Of kind entryFile only a file opens, of
// entryFolder only a folder; anything else opens as it is. INVALID_HANDLE_VALUE with the last error
// telling why not. A name that is no single entry's (empty, with a separator, "..") is refused.
HANDLE openEntryIn(FolderHandle folder, const char* name, ACCESS_MASK access, int kind) {
  static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  static const CreateFileCall create = reinterpret_cast<CreateFileCall>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtCreateFile")));
  static const StatusToError toError = reinterpret_cast<StatusToError>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (!create || !toError) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (folder == noFolder || name[0] == '\0' || strpbrk(name, "\\/") || strcmp(name, "..") == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  // The folder itself is opened by an empty name relative to it.
  bool itself = strcmp(name, ".") == 0;
  size_t units = 0;
  wchar_t* wide = itself ? nullptr : widenText(name, strlen(name), 0, &units);
  if (!itself && (!wide || units == 0 || units > 32767)) {
    free(wide);
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text = {static_cast<USHORT>(units * sizeof(wchar_t)),
                         static_cast<USHORT>(units * sizeof(wchar_t)), wide};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE,
                             reinterpret_cast<HANDLE>(folder), nullptr);
  IO_STATUS_BLOCK status;
  HANDLE entry = INVALID_HANDLE_VALUE;
  LONG result = create(&entry, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, shareAll,
                       fileOpen, openOptions | kindOption(kind), nullptr, 0);
  free(wide);
  if (result >= 0) return entry;
  SetLastError(toError(result));
  return INVALID_HANDLE_VALUE;
}

// Notes in outcome that setting part met error: a kind the file system keeps not,
// one the process may not set, or another failure.
void noteRefusal(MetadataOutcome* outcome, int part, DWORD error) {
  if (keepsNoSecurity(error))
    outcome->notHeld |= part;
  else if (error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD ||
           error == ERROR_INVALID_OWNER)
    outcome->notAllowed |= part;
  else if (outcome->failedPart == 0)
    *outcome =
        MetadataOutcome{outcome->notHeld, outcome->notAllowed, part, static_cast<int>(error)};
}

// Gives the entry open at entry (with WRITE_DAC, and WRITE_OWNER where owners are
// given) the owner and DACL of descriptor, as they are: the inherited entries too,
// never worked out again from the folders above, so that the mirror's descriptor is
// the source's, byte for byte.
void setSecurity(HANDLE entry, PSECURITY_DESCRIPTOR descriptor, MetadataOutcome* outcome) {
  SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (mayGiveOwners() && GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner)
    parts |= OWNER_SECURITY_INFORMATION;
  if (!SetKernelObjectSecurity(entry, parts, descriptor))
    noteRefusal(outcome, metadataAcls, GetLastError());
}

// Whether the security of the copy open at copy (with READ_CONTROL) still lets this
// process, by its own token, write the copy and move or remove it, as the steps after
// its data do by its path. True where that cannot be told.
bool leavesCopyToProcess(HANDLE copy) {
  PSECURITY_DESCRIPTOR now = nullptr;
  constexpr SECURITY_INFORMATION whole =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (GetSecurityInfo(copy, SE_FILE_OBJECT, whole, nullptr, nullptr, nullptr, nullptr, &now) != 0)
    return true;
  HANDLE token = nullptr;
  HANDLE impersonation = nullptr;
  BOOL allowed = TRUE;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &token) &&
      DuplicateToken(token, SecurityImpersonation, &impersonation)) {
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL status = TRUE;
    if (AccessCheck(now, impersonation, FILE_GENERIC_WRITE | DELETE, &mapping, &privileges,
                    &privilegesSize, &granted, &status))
      allowed = status;
  }
  if (impersonation) CloseHandle(impersonation);
  if (token) CloseHandle(token);
  LocalFree(now);
  return allowed;
}

// The access that setting the security descriptor takes.
ACCESS_MASK securityAccess() {
  return READ_CONTROL | WRITE_DAC | (mayGiveOwners() ? WRITE_OWNER : 0);
}

// Gives the entry open at entry the kept attributes wanted, the others as they
// are, read-only with the rest in one change; where the file system keeps some of
// them not, the kind is noted as not held.
void setAttributes(HANDLE entry, DWORD wanted, MetadataOutcome* outcome) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic))
    return noteRefusal(outcome, metadataAttributes, GetLastError());
  wanted &= keptAttributes;
  if ((basic.FileAttributes & keptAttributes) == wanted) return;
  FILE_BASIC_INFO change = {};  // times of zero stay as they are
  change.FileAttributes =
      (basic.FileAttributes & (FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE)) | wanted;
  if (change.FileAttributes == 0) change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(entry, FileBasicInfo, &change, sizeof change))
    return noteRefusal(outcome, metadataAttributes, GetLastError());
  if (GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & keptAttributes) != wanted)
    outcome->notHeld |= metadataAttributes;
}
}  // namespace

void freeExtraMetadata(ExtraMetadata* extra) {
  free(extra->bytes);
  *extra = ExtraMetadata{nullptr, 0, 0};
}

int readExtraMetadataIn(FolderHandle folder, const char* name, int parts, ExtraMetadata* extra) {
  extra->size = 0;
  if (!(parts & metadataAcls)) return 0;
  HANDLE entry = openEntryIn(folder, name, READ_CONTROL, entryOther);
  if (entry == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD error = readSecurity(entry, extra);
  CloseHandle(entry);
  return static_cast<int>(error);
}

int readExtraMetadataOf(FileHandle file, int parts, ExtraMetadata* extra) {
  extra->size = 0;
  if (!(parts & metadataAcls)) return 0;
  return static_cast<int>(readSecurity(reinterpret_cast<HANDLE>(file), extra));
}

int sameExtraMetadata(const ExtraMetadata& a, const ExtraMetadata& b) {
  return a.size == b.size && (a.size == 0 || memcmp(a.bytes, b.bytes, a.size) == 0);
}

int extraMetadataKinds(const ExtraMetadata& extra) {
  // The block is a security descriptor, or nothing.
  return extra.size > 0 ? metadataAcls : 0;
}

void applyMetadataTo(FileHandle file, const EntryMetadata&, const ExtraMetadata* extra, int parts,
                     MetadataOutcome* outcome) {
  *outcome = MetadataOutcome{0, 0, 0, 0};
  PSECURITY_DESCRIPTOR descriptor = (parts & metadataAcls) ? securityOf(extra) : nullptr;
  if (!descriptor) return;
  // The copy's handle was opened to write its data: a second one, on the same file
  // and without a path, may change its security.
  HANDLE copy = ReOpenFile(reinterpret_cast<HANDLE>(file), securityAccess(), shareAll,
                           FILE_FLAG_BACKUP_SEMANTICS);
  if (copy == INVALID_HANDLE_VALUE) return noteRefusal(outcome, metadataAcls, GetLastError());
  PSECURITY_DESCRIPTOR before = nullptr;
  if (GetSecurityInfo(copy, SE_FILE_OBJECT, securityParts(), nullptr, nullptr, nullptr, nullptr,
                      &before) != 0)
    before = nullptr;
  setSecurity(copy, descriptor, outcome);
  // The copy is stamped and takes its name by its path, after this: a descriptor
  // that would refuse those to this process is taken back, and not kept.
  if (!outcome->failedPart && !(outcome->notAllowed & metadataAcls) && before &&
      !leavesCopyToProcess(copy) && SetKernelObjectSecurity(copy, securityParts(), before))
    outcome->notAllowed |= metadataAcls;
  if (before) LocalFree(before);
  CloseHandle(copy);
}

void applyMetadataIn(FolderHandle folder, const char* name, int kind, const EntryMetadata& metadata,
                     const ExtraMetadata* extra, int parts, MetadataOutcome* outcome) {
  *outcome = MetadataOutcome{0, 0, 0, 0};
  PSECURITY_DESCRIPTOR descriptor = (parts & metadataAcls) ? securityOf(extra) : nullptr;
  bool attributes = parts & metadataAttributes;
  if (!descriptor && !attributes) return;
  ACCESS_MASK access = (attributes ? FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES : 0) |
                       (descriptor ? securityAccess() : 0);
  HANDLE entry = openEntryIn(folder, name, access, kind);
  if (entry == INVALID_HANDLE_VALUE && descriptor && GetLastError() == ERROR_ACCESS_DENIED &&
      attributes) {
    // The security may not be changed here: the attributes still are.
    outcome->notAllowed |= metadataAcls;
    descriptor = nullptr;
    entry = openEntryIn(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kind);
  }
  if (entry == INVALID_HANDLE_VALUE) {
    *outcome =
        MetadataOutcome{0, outcome->notAllowed, attributes ? metadataAttributes : metadataAcls,
                        static_cast<int>(GetLastError())};
    return;
  }
  // The security first; the attributes, read-only among them, last.
  if (descriptor) setSecurity(entry, descriptor, outcome);
  if (attributes) setAttributes(entry, metadata.attributes, outcome);
  CloseHandle(entry);
}
