#include "support/held_file.h"

namespace installer {

namespace {

// FileIdInfo and its record, which the headers declare only for newer
// targets than the installer's (Windows 8 and later answer it).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdRecord {
  uint64_t volume;
  uint8_t id[16];
};

using NtCreateFileFunction = NTSTATUS NTAPI(
    HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
    IO_STATUS_BLOCK* status, LARGE_INTEGER* allocation, ULONG file_attributes,
    ULONG share, ULONG disposition, ULONG options, void* extended,
    ULONG extended_length);
using StatusToErrorFunction = ULONG NTAPI(NTSTATUS status);

// STATUS_OBJECT_NAME_COLLISION.
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

template <typename Function>
Function* NtdllFunction(const char* name) {
  // Looked up, not imported: the stub links no ntdll import, as its import
  // list is checked to hold kernel32 and advapi32 alone.
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

uint64_t Read64(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

bool ReadFileIdentity(HANDLE file, FileIdentity* identity) {
  *identity = FileIdentity();
  FileIdRecord record;
  if (GetFileInformationByHandleEx(file, kFileIdInfo, &record,
                                   sizeof(record))) {
    identity->volume = record.volume;
    identity->id_low = Read64(record.id);
    identity->id_high = Read64(record.id + 8);
    identity->known = true;
    return true;
  }
  // Before Windows 8: the 64-bit index, which is unique on the file
  // systems those versions have.
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) return false;
  identity->volume = information.dwVolumeSerialNumber;
  identity->id_low = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                     information.nFileIndexLow;
  identity->known = true;
  return true;
}

bool SameFile(const FileIdentity& left, const FileIdentity& right) {
  return left.known && right.known && left.volume == right.volume &&
         left.id_low == right.id_low && left.id_high == right.id_high;
}

HANDLE CreateInFolder(HANDLE folder, const wchar_t* name, DWORD access,
                      DWORD share, DWORD disposition, DWORD options,
                      PSECURITY_DESCRIPTOR descriptor) {
  const auto create = NtdllFunction<NtCreateFileFunction>("NtCreateFile");
  const auto to_error =
      NtdllFunction<StatusToErrorFunction>("RtlNtStatusToDosError");
  if (create == nullptr || to_error == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const int length = lstrlenW(name);
  if (length <= 0 || length >= 32767) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(name);
  object_name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  // As CreateFileW looks names up: without regard to case.
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE,
                             folder, descriptor);
  IO_STATUS_BLOCK status_block;
  HANDLE handle = nullptr;
  const NTSTATUS status =
      create(&handle, access | SYNCHRONIZE, &attributes, &status_block,
             nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
             options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    // A name that exists is told as CreateFileW tells it for a file (and
    // CreateDirectoryW for a folder), not as the status's own mapping.
    SetLastError(status == kNameCollision &&
                         (options & FILE_DIRECTORY_FILE) == 0
                     ? ERROR_FILE_EXISTS
                     : to_error(status));
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

void HeldFile::Release() {
  if (handle == INVALID_HANDLE_VALUE) return;
  const HANDLE held = handle;
  handle = INVALID_HANDLE_VALUE;
  CloseHandle(held);
}

namespace {

// The file `name` in `folder` for reading, shared as `share` says, when it
// is the file `identity` names; INVALID_HANDLE_VALUE with the last error
// set otherwise.
HANDLE OpenMadeFile(HANDLE folder, const wchar_t* name, DWORD access,
                    DWORD share, const FileIdentity& identity) {
  const HANDLE file = CreateInFolder(
      folder, name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) return file;
  FileIdentity found;
  if (!ReadFileIdentity(file, &found) || !SameFile(found, identity)) {
    CloseHandle(file);
    SetLastError(ERROR_FILE_INVALID);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

bool HoldWrittenFile(HANDLE* writer, HANDLE folder, const wchar_t* name,
                     HeldFile* held) {
  held->Release();
  FileIdentity written;
  const bool known = ReadFileIdentity(*writer, &written);
  held->identity = written;
  // The bridge: it reads, and shares writing with the writer that is still
  // open, but never deletion, so the name stays bound to the file; its lock
  // keeps the bytes from any write from outside until the hold, which
  // shares reading only, stands.
  const HANDLE bridge =
      known ? OpenMadeFile(folder, name, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, written)
            : INVALID_HANDLE_VALUE;
  const DWORD bridge_error = GetLastError();
  OVERLAPPED whole_file = {};
  const bool locked =
      bridge != INVALID_HANDLE_VALUE &&
      LockFileEx(bridge, LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                 &whole_file);
  const HANDLE handle = *writer;
  *writer = INVALID_HANDLE_VALUE;
  CloseHandle(handle);
  if (bridge == INVALID_HANDLE_VALUE) {
    SetLastError(known ? bridge_error : ERROR_FILE_INVALID);
    return false;
  }
  held->handle =
      OpenMadeFile(folder, name, GENERIC_READ, FILE_SHARE_READ, written);
  const DWORD error = GetLastError();
  if (locked) UnlockFileEx(bridge, 0, MAXDWORD, MAXDWORD, &whole_file);
  CloseHandle(bridge);
  SetLastError(error);
  return held->IsHeld();
}

bool RemoveMadeFile(HANDLE folder, const wchar_t* name,
                    const FileIdentity& identity) {
  const HANDLE file =
      OpenMadeFile(folder, name, DELETE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   identity);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  const bool marked = SetFileInformationByHandle(
                          file, FileDispositionInfo, &disposition,
                          sizeof(disposition)) != FALSE;
  CloseHandle(file);
  return marked;
}

bool HoldFoundFile(HANDLE folder, const wchar_t* name, HeldFile* held) {
  held->Release();
  held->identity = FileIdentity();
  held->handle = CreateInFolder(
      folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  if (!held->IsHeld()) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(held->handle, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      !ReadFileIdentity(held->handle, &held->identity)) {
    held->Release();
    held->identity = FileIdentity();
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }
  return true;
}

bool PathNamesFile(const wchar_t* path, const FileIdentity& identity) {
  // Attributes only: an open for them is refused by no sharing mode.
  const HANDLE file = CreateFileW(
      path, FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileIdentity found;
  const bool same = ReadFileIdentity(file, &found) && SameFile(found, identity);
  CloseHandle(file);
  return same;
}

}  // namespace installer
