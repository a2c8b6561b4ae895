#include "support/held_file.h"

namespace installer {

namespace {

// NtQueryInformationFile's FileInternalInformation: the file's 64-bit ID.
constexpr ULONG kFileInternalInformation = 6;

using NtCreateFileFunction = NTSTATUS NTAPI(
    HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
    IO_STATUS_BLOCK* status, LARGE_INTEGER* allocation, ULONG file_attributes,
    ULONG share, ULONG disposition, ULONG options, void* extended,
    ULONG extended_length);
using StatusToErrorFunction = ULONG NTAPI(NTSTATUS status);
using QueryInformationFileFunction = NTSTATUS NTAPI(
    HANDLE file, IO_STATUS_BLOCK* status, void* information, ULONG length,
    ULONG information_class);

// STATUS_OBJECT_NAME_COLLISION.
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

template <typename Function>
Function* NtdllFunction(const char* name) {
  // Looked up, not imported: the stub links no ntdll import, as its import
  // list is checked to hold kernel32 and advapi32 alone.
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

}  // namespace

bool ReadFileIdentity(HANDLE file, FileIdentity* identity) {
  *identity = FileIdentity();
  const auto query = NtdllFunction<QueryInformationFileFunction>(
      "NtQueryInformationFile");
  const auto to_error =
      NtdllFunction<StatusToErrorFunction>("RtlNtStatusToDosError");
  if (query == nullptr || to_error == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  IO_STATUS_BLOCK status_block;
  LARGE_INTEGER id;
  const NTSTATUS status = query(file, &status_block, &id, sizeof(id),
                                kFileInternalInformation);
  if (status < 0) {
    SetLastError(to_error(status));
    return false;
  }
  identity->id = static_cast<uint64_t>(id.QuadPart);
  identity->known = true;
  return true;
}

bool ReadFullIdentity(HANDLE file, FileIdentity* identity) {
  DWORD serial = 0;
  if (!ReadFileIdentity(file, identity)) return false;
  // A volume that tells no serial number (some file systems under Wine, a
  // share) leaves the ID alone to tell the file.
  if (GetVolumeInformationByHandleW(file, nullptr, 0, &serial, nullptr,
                                    nullptr, nullptr, 0)) {
    // Never 0 once read: 0 stands for a volume not told.
    identity->volume = 0x100000000ull | serial;
  }
  return true;
}

bool SameFile(const FileIdentity& left, const FileIdentity& right) {
  return left.known && right.known && left.id == right.id &&
         (left.volume == 0 || right.volume == 0 ||
          left.volume == right.volume);
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

namespace {

// The file `name` in `folder`, opened as itself for `access` and shared as
// `share` says, when it is the file `identity` names; INVALID_HANDLE_VALUE
// with the last error set otherwise.
HANDLE OpenMadeFile(HANDLE folder, const wchar_t* name, DWORD access,
                    DWORD share, const FileIdentity& identity) {
  UniqueFileHandle file(CreateInFolder(
      folder, name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
  FileIdentity found;
  if (file.IsValid() &&
      (!ReadFileIdentity(file.get(), &found) || !SameFile(found, identity))) {
    file.Reset();
    SetLastError(ERROR_FILE_INVALID);
  }
  return file.Release();
}

}  // namespace

bool HoldWrittenFile(UniqueFileHandle* writer, HANDLE folder,
                     const wchar_t* name, HeldFile* held) {
  held->Release();
  FileIdentity written;
  const bool known = ReadFileIdentity(writer->get(), &written);
  held->identity = written;
  // The bridge: it reads, and shares writing with the writer that is still
  // open, but never deletion, so the name stays bound to the file; its lock
  // keeps the bytes from any write from outside until the hold, which
  // shares reading only, stands.
  UniqueFileHandle bridge;
  if (known) {
    bridge.Reset(OpenMadeFile(folder, name, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, written));
  }
  const DWORD bridge_error = GetLastError();
  OVERLAPPED whole_file = {};
  const bool locked =
      bridge.IsValid() && LockFileEx(bridge.get(), LOCKFILE_FAIL_IMMEDIATELY,
                                     0, MAXDWORD, MAXDWORD, &whole_file);
  writer->Reset();
  if (!bridge.IsValid()) {
    SetLastError(known ? bridge_error : ERROR_FILE_INVALID);
    return false;
  }
  held->handle.Reset(
      OpenMadeFile(folder, name, GENERIC_READ, FILE_SHARE_READ, written));
  // The hold's error, if it failed, past the bridge's end.
  const LastErrorKeeper error;
  if (locked) UnlockFileEx(bridge.get(), 0, MAXDWORD, MAXDWORD, &whole_file);
  bridge.Reset();
  return held->IsHeld();
}

bool RemoveMadeFile(HANDLE folder, const wchar_t* name,
                    const FileIdentity& identity) {
  const UniqueFileHandle file(
      OpenMadeFile(folder, name, DELETE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   identity));
  if (!file.IsValid()) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file.get(), FileDispositionInfo,
                                    &disposition,
                                    sizeof(disposition)) != FALSE;
}

bool HoldFoundFile(HANDLE folder, const wchar_t* name, HeldFile* held) {
  held->Release();
  held->identity = FileIdentity();
  held->handle.Reset(CreateInFolder(
      folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
  if (!held->IsHeld()) return false;
  FILE_ATTRIBUTE_TAG_INFO information;
  if (!GetFileInformationByHandleEx(held->handle.get(), FileAttributeTagInfo,
                                    &information, sizeof(information)) ||
      (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      !ReadFileIdentity(held->handle.get(), &held->identity)) {
    held->Release();
    held->identity = FileIdentity();
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }
  return true;
}

bool PathNamesFile(const wchar_t* path, const HeldFile& held) {
  // Attributes only: an open for them is refused by no sharing mode.
  const UniqueFileHandle file(CreateFileW(
      path, FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (!file.IsValid()) return false;
  // The path may lead to another volume: both volumes are read.
  FileIdentity found;
  FileIdentity holding;
  return ReadFullIdentity(file.get(), &found) &&
         ReadFullIdentity(held.handle.get(), &holding) &&
         SameFile(found, holding);
}

}  // namespace installer
