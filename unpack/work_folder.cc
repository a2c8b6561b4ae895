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
// The prefix, and the digits with the suffix.
constexpr uint64_t kNameHead = sizeof(kWorkFolderPrefix) / sizeof(wchar_t) - 1;
constexpr uint64_t kNameTail =
    kWorkFolderDigits + sizeof(kWorkFolderSuffix) / sizeof(wchar_t) - 1;
// The deepest folder that Windows creates for a program that is not
// long-path aware leaves room for an 8.3 name within MAX_PATH ("the
// directory name cannot exceed MAX_PATH minus 12"), without the terminator.
static_assert(kLongestWorkFolderPath == MAX_PATH - 12 - 1);

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

// Draws names for the work folder until one is made new in `parent`, at
// most kFolderAttempts times. `name` is where the digits go in
// `work_folder`, right after the prefix that starts the folder's own name.
bool MakeFolderUnderNewName(HANDLE parent, PSECURITY_DESCRIPTOR descriptor,
                            PathString* work_folder, wchar_t* name,
                            HeldFile* held) {
  const uint64_t room = kPathCapacity - (name - work_folder->data());
  for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
    // Without the generator every draw is zero.
    uint8_t random[4] = {};
    FillRandomBytes(random, sizeof(random));
    // The room check of the caller guarantees that the digits and the
    // suffix fit.
    HexEncode(random, sizeof(random), name, room);
    name[kWorkFolderDigits] = 0;
    work_folder->Append(kWorkFolderSuffix);
    // Made new or not at all: a name that exists, whatever it is (a folder,
    // a link, a junction), draws another name, as any other failure does.
    UniqueFileHandle folder(CreateInFolder(
        parent, name - kNameHead, kHeldFolderAccess, kHeldFolderSharing,
        FILE_CREATE, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
        descriptor));
    if (!folder.IsValid()) continue;
    if (held != nullptr) {
      // Removed at last by its path, which could lead to another volume.
      ReadFullIdentity(folder.get(), &held->identity);
      held->handle = Move(folder);
    }
    work_folder->Append(L"\\");
    return true;
  }
  return false;
}

}  // namespace

RunOutcome CreateWorkFolder(const wchar_t* executable_folder,
                            PathString* work_folder, HeldFile* held) {
  if (held != nullptr) {
    held->Release();
    held->identity = FileIdentity();
  }
  if (!work_folder->Copy(executable_folder) ||
      !work_folder->Append(kWorkFolderPrefix)) {
    return MakeOutcome(ExitCode::PathTooLong);
  }
  // A folder deeper than CreateDirectoryW makes for a program that is not
  // long-path aware, as the installer and most setup programs are not, is
  // reported as the path that is too long, without ten attempts. Every file
  // path built on it then fits the 259 characters of a path as well.
  const uint64_t name_start = work_folder->Length();
  if (name_start + kNameTail > kLongestWorkFolderPath) {
    return MakeOutcome(ExitCode::PathTooLong);
  }

  UniqueLocalMemory<void> descriptor;
  if (!BuildFolderSecurity(executable_folder, &descriptor)) {
    return MakeOutcome(ExitCode::FolderSecurityFailed, GetLastError());
  }
  // The new folder's name is looked up in this folder, whatever becomes of
  // the path it was reached by.
  const UniqueFileHandle parent(CreateFileW(
      executable_folder, FILE_TRAVERSE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!parent.IsValid() ||
      !MakeFolderUnderNewName(parent.get(), descriptor.get(), work_folder,
                              work_folder->data() + name_start, held)) {
    return MakeOutcome(ExitCode::WorkFolderNotCreated);
  }
  return kSuccessOutcome;
}

bool BuildFolderSecurity(const wchar_t* executable_folder,
                         UniqueLocalMemory<void>* descriptor) {
  descriptor->Reset();
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

  UniqueLocalMemory<wchar_t> sid;
  if (!GetOwnerSidString(&sid)) return false;
  BoundedWideString<kSecurityTextCapacity> text;
  if (!text.Copy(kFolderSecurityPrefix) || !text.Append(sid.get()) ||
      !text.Append(L")") || (RunsElevated() && !text.Append(kElevatedLabel))) {
    return false;
  }
  PSECURITY_DESCRIPTOR converted = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          text.data(), SDDL_REVISION_1, &converted, nullptr)) {
    return false;
  }
  descriptor->Reset(converted);
  return true;
}

bool GetOwnerSidString(UniqueLocalMemory<wchar_t>* sid) {
  sid->Reset();
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
    return false;
  }
  UniqueHandle token(opened);
  UniqueLocalMemory<TOKEN_OWNER> owner;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size);
  if (size != 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    owner.Reset(static_cast<TOKEN_OWNER*>(LocalAlloc(LMEM_ZEROINIT, size)));
    wchar_t* text = nullptr;
    if (owner.IsValid() &&
        GetTokenInformation(token.get(), TokenOwner, owner.get(), size,
                            &size) &&
        ConvertSidToStringSidW(owner.get()->Owner, &text)) {
      sid->Reset(text);
    }
  }
  // The error of the call that failed, past the cleanup.
  const LastErrorKeeper error;
  owner.Reset();
  token.Reset();
  return sid->IsValid();
}

}  // namespace installer
