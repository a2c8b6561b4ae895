#include "unpack/work_folder.h"

#include <sddl.h>
#include <stdint.h>

#include "support/elevation.h"
#include "support/installer_contract.h"
#include "support/random_bytes.h"

namespace installer {

namespace {

constexpr wchar_t kFolderSecurityPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";
constexpr int kFolderAttempts = 10;
// The digits and the suffix.
constexpr uint64_t kNameTail =
    kWorkFolderDigits + sizeof(kWorkFolderSuffix) / sizeof(wchar_t) - 1;
// The longest folder path that Windows creates for a program that is not
// long-path aware, as the installer is not: one that leaves room for an 8.3
// name within MAX_PATH ("the directory name cannot exceed MAX_PATH minus
// 12"), without the terminator.
constexpr uint64_t kLongestFolderPath = MAX_PATH - 12 - 1;

// The folder is held by the very call that makes it, shared for reading and
// writing but not for deletion: from its first moment nobody can rename it
// away, nor put a link or junction at its name, so every name made in it
// stays in it. Opened for listing, not for deletion, which would refuse
// setup programs that open their own folder without sharing deletion, as
// every process that makes it its current folder does. A handle's sharing
// binds others only when it was opened for reading, writing or deletion.
constexpr DWORD kHeldFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr DWORD kHeldFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Medium-integrity programs of the same user may not write into the folder
// of an elevated run, nor into anything made there, even where its owner
// entry names that user: where policy makes the creator of an object its
// owner rather than the Administrators group.
constexpr wchar_t kElevatedLabel[] = L"S:(ML;OICI;NW;;;HI)";

}  // namespace

bool CreateWorkFolder(const wchar_t* executable_folder, PathString* work_folder,
                      RunOutcome* outcome, HeldFile* held) {
  if (held != nullptr) {
    held->Release();
    held->identity = FileIdentity();
  }
  *outcome = MakeOutcome(ExitCode::PathTooLong);
  if (!work_folder->Copy(executable_folder) || !work_folder->Append(kWorkFolderPrefix)) {
    return false;
  }
  // A folder deeper than CreateDirectoryW makes for a program that is not
  // long-path aware, as the installer and most setup programs are not, is
  // reported as the path that is too long, without ten attempts. Every file
  // path built on it then fits the 259 characters of a path as well.
  const uint64_t name_start = work_folder->Length();
  if (name_start + kNameTail > kLongestFolderPath) return false;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildFolderSecurity(executable_folder, &descriptor)) {
    *outcome = MakeOutcome(ExitCode::FolderSecurityFailed, GetLastError());
    return false;
  }

  *outcome = MakeOutcome(ExitCode::WorkFolderNotCreated);
  // The new folder's name is looked up in this folder, whatever becomes of
  // the path it was reached by.
  const HANDLE parent = CreateFileW(
      executable_folder, FILE_TRAVERSE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // "KV_" and what is drawn after it: the new folder's own name.
  const wchar_t* folder_name = work_folder->data() + name_start - 3;
  wchar_t* name = work_folder->data() + name_start;
  for (int attempt = 0; parent != INVALID_HANDLE_VALUE &&
                        attempt < kFolderAttempts;
       ++attempt) {
    // Without the generator every draw is zero.
    uint8_t random[4] = {};
    FillRandomBytes(random, sizeof(random));
    // The room check above guarantees that the digits and suffix fit.
    HexEncode(random, sizeof(random), name, kPathCapacity - name_start);
    name[kWorkFolderDigits] = 0;
    work_folder->Append(kWorkFolderSuffix);
    // Made new or not at all: a name that exists, whatever it is (a folder,
    // a link, a junction), draws another name, as any other failure does.
    const HANDLE folder = CreateInFolder(
        parent, folder_name, kHeldFolderAccess, kHeldFolderSharing, FILE_CREATE,
        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, descriptor);
    if (folder == INVALID_HANDLE_VALUE) continue;
    if (held != nullptr) {
      held->handle = folder;
      // Removed at last by its path, which could lead to another volume.
      ReadFullIdentity(folder, &held->identity);
    } else {
      CloseHandle(folder);
    }
    work_folder->Append(L"\\");
    *outcome = kSuccessOutcome;
    break;
  }
  if (parent != INVALID_HANDLE_VALUE) CloseHandle(parent);
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
      text.Copy(kFolderSecurityPrefix) && text.Append(sid) &&
      text.Append(L")") && (!RunsElevated() || text.Append(kElevatedLabel));
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
