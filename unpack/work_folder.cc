#include "unpack/work_folder.h"

#include <sddl.h>
#include <stdint.h>

#include "support/random_bytes.h"

namespace installer {

namespace {

constexpr wchar_t kFolderSecurityPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";
constexpr int kFolderAttempts = 10;
constexpr uint64_t kRandomDigits = 5;
// The five digits and ".tmp".
constexpr uint64_t kNameTail = 9;
// The longest folder path that Windows creates for a program that is not
// long-path aware, as the installer is not: one that leaves room for an 8.3
// name within MAX_PATH ("the directory name cannot exceed MAX_PATH minus
// 12"), without the terminator.
constexpr uint64_t kLongestFolderPath = MAX_PATH - 12 - 1;

// Opens the folder just made at `path` so that it cannot be renamed while
// the handle lives. A handle's sharing binds others only when it was opened
// for reading, writing or deletion, so the folder is opened for listing;
// not for deletion, which would refuse setup programs that open their own
// folder without sharing deletion, as every process that makes it its
// current folder does. INVALID_HANDLE_VALUE, with the folder removed again,
// when it cannot be opened or what lies at the path is not a plain folder:
// someone was faster than this open.
HANDLE HoldFolder(const wchar_t* path) {
  const HANDLE folder = CreateFileW(
      path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (folder != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folder, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      return folder;
    }
    CloseHandle(folder);
  }
  // A link is removed itself, never what it points to; a folder is removed
  // only while it is empty.
  RemoveDirectoryW(path);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool CreateWorkFolder(const wchar_t* executable_folder, PathString* work_folder,
                      RunOutcome* outcome, HANDLE* held) {
  if (held != nullptr) *held = INVALID_HANDLE_VALUE;
  *outcome = MakeOutcome(ExitCode::PathTooLong);
  if (!work_folder->Copy(executable_folder) || !work_folder->Append(L"KV_")) {
    return false;
  }
  // A folder that Windows would refuse to create is reported as the path
  // that is too long, without ten attempts that cannot succeed. Every file
  // path built on it then fits the 259 characters of a path as well.
  const uint64_t name_start = work_folder->Length();
  if (name_start + kNameTail > kLongestFolderPath) return false;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildFolderSecurity(executable_folder, &descriptor)) {
    *outcome = MakeOutcome(ExitCode::FolderSecurityFailed, GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};

  *outcome = MakeOutcome(ExitCode::WorkFolderNotCreated);
  wchar_t* name = work_folder->data() + name_start;
  for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
    // Without the generator every draw is zero.
    uint8_t random[4] = {};
    FillRandomBytes(random, sizeof(random));
    // The room check above guarantees that the digits and suffix fit.
    HexEncode(random, sizeof(random), name, kPathCapacity - name_start);
    name[kRandomDigits] = 0;
    work_folder->Append(L".tmp");
    // Any failure, a taken name or not, just draws another name.
    if (CreateDirectoryW(work_folder->data(),
                         descriptor != nullptr ? &attributes : nullptr) &&
        (held == nullptr ||
         (*held = HoldFolder(work_folder->data())) != INVALID_HANDLE_VALUE)) {
      work_folder->Append(L"\\");
      *outcome = kSuccessOutcome;
      break;
    }
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return outcome->Succeeded();
}

bool BuildFolderSecurity(const wchar_t* executable_folder,
                         PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  // A volume that cannot be asked is treated like one without ACLs: the
  // folder then simply inherits its parent's security.
  PathString volume;
  if (!GetVolumePathNameW(executable_folder, volume.data(), kPathCapacity)) {
    return true;
  }
  DWORD flags = 0;
  if (!GetVolumeInformationW(volume.data(), nullptr, 0, nullptr, nullptr,
                             &flags, nullptr, 0) ||
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    return true;
  }

  wchar_t* sid = nullptr;
  if (!GetOwnerSidString(&sid)) return false;
  BoundedWideString<kSecurityTextCapacity> text;
  const bool fits =
      text.Copy(kFolderSecurityPrefix) && text.Append(sid) && text.Append(L")");
  LocalFree(sid);
  if (!fits) return false;

  PSECURITY_DESCRIPTOR converted = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          text.data(), SDDL_REVISION_1, &converted, nullptr)) {
    return false;
  }
  *descriptor = converted;
  return true;
}

bool GetOwnerSidString(wchar_t** sid) {
  *sid = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  bool converted = false;
  DWORD size = 0;
  GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  if (size != 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    void* owner = LocalAlloc(LMEM_ZEROINIT, size);
    if (owner != nullptr) {
      converted =
          GetTokenInformation(token, TokenOwner, owner, size, &size) &&
          ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(owner)->Owner, sid);
      const DWORD error = GetLastError();
      LocalFree(owner);
      SetLastError(error);
    }
  }
  const DWORD error = GetLastError();
  CloseHandle(token);
  SetLastError(error);
  return converted;
}

}  // namespace installer
