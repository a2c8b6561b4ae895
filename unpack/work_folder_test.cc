#include "unpack/work_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/elevation.h"
#include "testing/import_patch.h"
#include "testing/integrity_level.h"
#include "testing/noisy_close.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::ImportPatch;
using testing_support::IntegrityLevelDouble;
using testing_support::LookupPatch;
using testing_support::ScratchFolder;

// The folder's descriptor as the platform writes it back: the same flags as
// the stub's "OIIOCI", in the platform's own order.
constexpr wchar_t kSecurityPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
    L"(A;OICIIO;GA;;;CO)(A;;FA;;;";

// The mandatory label entries of a descriptor's SACL, read from its bytes
// (Wine writes no label as SDDL): "ML;<flags>;<policy>;<level RID>" each,
// in hexadecimal, joined by spaces.
std::wstring LabelEntries(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  if (!GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) ||
      !present || sacl == nullptr) {
    return L"";
  }
  std::wstring entries;
  for (DWORD i = 0; i < sacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(sacl, i, &entry)) break;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) continue;
    const auto* label = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(entry);
    const PSID sid = const_cast<DWORD*>(&label->SidStart);
    wchar_t text[64];
    swprintf(text, 64, L"ML;%x;%lx;%lx", header->AceFlags, label->Mask,
             *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1));
    if (!entries.empty()) entries += L" ";
    entries += text;
  }
  return entries;
}

// An elevated run's folder is labelled high integrity (0x3000), no write up
// (0x1), inherited by files and folders (0x3); a standard user's has none.
std::wstring ExpectedLabel() { return RunsElevated() ? L"ML;3;1;3000" : L""; }

// What NtCreateFile was handed, call by call, and how it answers.
struct CreateCall {
  std::wstring name;
  bool relative = false;
  bool has_descriptor = false;
  std::wstring dacl_text;
  std::wstring label;
  ACCESS_MASK access = 0;
  ULONG share = 0;
  ULONG disposition = 0;
  ULONG options = 0;
};
using NtCreateFileFunction = NTSTATUS NTAPI(
    HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
    LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);
struct CreateScript {
  NtCreateFileFunction* original = nullptr;
  int collisions = 0;  // the first calls fail as names that exist
  std::vector<CreateCall> calls;
};
CreateScript* create_script = nullptr;

constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

NTSTATUS NTAPI ScriptedNtCreateFile(HANDLE* handle, ACCESS_MASK access,
                                    OBJECT_ATTRIBUTES* attributes,
                                    IO_STATUS_BLOCK* status,
                                    LARGE_INTEGER* allocation, ULONG file,
                                    ULONG share, ULONG disposition,
                                    ULONG options, void* extended,
                                    ULONG extended_length) {
  CreateScript& script = *create_script;
  CreateCall call;
  call.name.assign(attributes->ObjectName->Buffer,
                   attributes->ObjectName->Length / sizeof(wchar_t));
  call.relative = attributes->RootDirectory != nullptr;
  call.access = access;
  call.share = share;
  call.disposition = disposition;
  call.options = options;
  if (attributes->SecurityDescriptor != nullptr) {
    call.has_descriptor = true;
    // Converted here: the stub frees the descriptor before it returns, and
    // Wine does not keep a folder's security to read back afterwards.
    wchar_t* text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->SecurityDescriptor, SDDL_REVISION_1,
            DACL_SECURITY_INFORMATION, &text, nullptr)) {
      call.dacl_text = text;
      LocalFree(text);
    }
    call.label = LabelEntries(attributes->SecurityDescriptor);
  }
  script.calls.push_back(call);
  if (static_cast<int>(script.calls.size()) <= script.collisions) {
    return kNameCollision;
  }
  return script.original(handle, access, attributes, status, allocation,
                         file, share, disposition, options, extended,
                         extended_length);
}

// NtCreateFile as the stub looks it up, answered by the script.
class PatchedCreation {
 public:
  explicit PatchedCreation(CreateScript* script)
      : original_(reinterpret_cast<NtCreateFileFunction*>(
            reinterpret_cast<void*>(GetProcAddress(
                GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")))),
        patch_("NtCreateFile",
               reinterpret_cast<void*>(&ScriptedNtCreateFile)) {
    script->original = original_;
    create_script = script;
  }
  ~PatchedCreation() { create_script = nullptr; }
  bool applied() const { return patch_.applied(); }

 private:
  NtCreateFileFunction* original_;
  LookupPatch patch_;
};

std::wstring TokenOwnerSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  std::wstring result;
  wchar_t* text = nullptr;
  if (GetTokenInformation(token, TokenOwner, buffer.data(),
                          static_cast<DWORD>(buffer.size()), &size) &&
      ConvertSidToStringSidW(
          reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner, &text)) {
    result = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return result;
}

// The entries of two DACLs in SDDL, "(...)" each, compared field by field
// and their SIDs as SIDs: Windows writes a well-known SID by its alias
// ("BA" for S-1-5-32-544, the owner an elevated administrator's token
// gives new objects), Wine by its number.
bool SameAces(const std::wstring& actual, const std::wstring& expected) {
  const auto entries = [](const std::wstring& text) {
    std::vector<std::vector<std::wstring>> result;
    for (size_t open = text.find(L'('); open != std::wstring::npos;
         open = text.find(L'(', open + 1)) {
      const size_t close = text.find(L')', open);
      if (close == std::wstring::npos) break;
      std::vector<std::wstring> fields;
      std::wstring field;
      for (wchar_t unit : text.substr(open + 1, close - open - 1)) {
        if (unit == L';') {
          fields.push_back(field);
          field.clear();
        } else {
          field += unit;
        }
      }
      fields.push_back(field);
      result.push_back(fields);
    }
    return result;
  };
  const auto same_sid = [](const std::wstring& left,
                           const std::wstring& right) {
    PSID left_sid = nullptr;
    PSID right_sid = nullptr;
    const bool same = ConvertStringSidToSidW(left.c_str(), &left_sid) &&
                      ConvertStringSidToSidW(right.c_str(), &right_sid) &&
                      EqualSid(left_sid, right_sid);
    if (left_sid != nullptr) LocalFree(left_sid);
    if (right_sid != nullptr) LocalFree(right_sid);
    return same;
  };
  const auto left = entries(actual);
  const auto right = entries(expected);
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    if (left[i].size() != 6 || right[i].size() != 6) return false;
    for (size_t field = 0; field < 5; ++field) {
      if (left[i][field] != right[i][field]) return false;
    }
    if (!same_sid(left[i][5], right[i][5])) return false;
  }
  return true;
}

bool IsWorkFolderName(const std::wstring& name) {
  if (name.size() != 13 || name.compare(0, 3, L"KV_") != 0 ||
      name.compare(8, 5, L".tmp\\") != 0) {
    return false;
  }
  for (size_t i = 3; i < 8; ++i) {
    if (std::wstring(L"0123456789ABCDEF").find(name[i]) == std::wstring::npos)
      return false;
  }
  return true;
}

std::vector<std::wstring> Children(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

TEST(WorkFolderTest, CreatesProtectedFolderBesideExecutable) {
  // A standard user's run and an elevated one: only the latter labels its
  // folder. (Under Wine 8 every run is elevated; the double makes the other.)
  for (const DWORD level : {DWORD{SECURITY_MANDATORY_MEDIUM_RID},
                            DWORD{SECURITY_MANDATORY_HIGH_RID}}) {
    SCOPED_TRACE(level);
    ScratchFolder folder(L"work");
    CreateScript script;
    PathString work_folder;
    RunOutcome outcome = MakeOutcome(ExitCode::SetupStartFailed);
    HeldFile held;
    bool created = false;
    {
      IntegrityLevelDouble token(level);
      ASSERT_TRUE(token.applied());
      PatchedCreation patch(&script);
      ASSERT_TRUE(patch.applied());
      outcome = CreateWorkFolder(folder.path().c_str(), &work_folder, &held);
      created = outcome.Succeeded();
    }
    ASSERT_TRUE(created);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(outcome.windows_error, 0u);
    const std::wstring path = work_folder.data();
    ASSERT_EQ(path.compare(0, folder.path().size(), folder.path()), 0);
    EXPECT_TRUE(IsWorkFolderName(path.substr(folder.path().size()))) << path;
    EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // Made new, relative to the installer's folder, and held by that call:
    // shared for reading and writing, not for deletion, never through a link.
    ASSERT_EQ(script.calls.size(), 1u);
    const CreateCall& call = script.calls[0];
    EXPECT_TRUE(call.relative);
    EXPECT_EQ(folder.path() + call.name + L"\\", path);
    EXPECT_EQ(call.disposition, static_cast<ULONG>(FILE_CREATE));
    constexpr ULONG kNewFolderOnly =
        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
    EXPECT_EQ(call.options & kNewFolderOnly, kNewFolderOnly);
    EXPECT_EQ(call.share,
              static_cast<ULONG>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(call.access & DELETE, 0u);
    ASSERT_TRUE(call.has_descriptor);
    // Under Wine the token's owner (a group) differs from its user, so this
    // also tells TokenOwner from TokenUser.
    const std::wstring owner = TokenOwnerSid();
    ASSERT_FALSE(owner.empty());
    const std::wstring expected = kSecurityPrefix + owner + L")";
    EXPECT_EQ(call.dacl_text.substr(0, call.dacl_text.find(L'(')),
              expected.substr(0, expected.find(L'(')));
    EXPECT_TRUE(SameAces(call.dacl_text, expected))
        << std::filesystem::path(call.dacl_text).string();
    EXPECT_EQ(call.label, level == SECURITY_MANDATORY_HIGH_RID ? L"ML;3;1;3000"
                                                                : L"");

    // While held, the folder cannot be moved away; its identity is the one
    // found at its path.
    ASSERT_TRUE(held.IsHeld());
    const HANDLE found = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    FileIdentity at_path;
    EXPECT_TRUE(ReadFileIdentity(found, &at_path));
    CloseHandle(found);
    EXPECT_TRUE(SameFile(held.identity, at_path));
    const std::wstring moved = folder.Child(L"moved");
    EXPECT_FALSE(MoveFileW(work_folder.data(), moved.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    held.Release();
  }
}

// What only Windows can show: the folder on disk keeps the protected DACL
// it was created with, so nothing inherited from the Downloads folder or a
// share lets another user in.
TEST(WorkFolderTest, FolderOnDiskKeepsItsProtectedDacl) {
  if (testing_support::UnderWine()) {
    GTEST_SKIP() << "Wine keeps no folder DACL to read back";
  }
  ScratchFolder folder(L"dacl");
  PathString work_folder;
  RunOutcome outcome = MakeOutcome(ExitCode::SetupStartFailed);
  outcome = CreateWorkFolder(folder.path().c_str(), &work_folder);
  ASSERT_TRUE(outcome.Succeeded());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(
                work_folder.data(), SE_FILE_OBJECT,
                DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                nullptr, nullptr, nullptr, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  wchar_t* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
      nullptr));
  const std::wstring dacl = text;
  LocalFree(text);
  // An elevated run's folder keeps its label, so that programs at medium
  // integrity cannot write there; a standard user's run sets none.
  EXPECT_EQ(LabelEntries(descriptor), ExpectedLabel());
  LocalFree(descriptor);
  RemoveDirectoryW(work_folder.data());
  // The flags may be written in another order; the entries may not differ.
  const std::wstring expected =
      std::wstring(kSecurityPrefix) + TokenOwnerSid() + L")";
  const size_t entries = dacl.find(L'(');
  ASSERT_NE(entries, std::wstring::npos) << dacl;
  EXPECT_NE(dacl.substr(0, entries).find(L'P'), std::wstring::npos) << dacl;
  EXPECT_TRUE(SameAces(dacl, expected)) << std::filesystem::path(dacl).string();
}

// What only Windows can show: programs of the same user at medium
// integrity, which an elevated run's folder label keeps out even where its
// DACL lets the user in, can neither make a file in it nor open it to write
// its attributes (as making it a junction needs, which no sharing mode
// refuses) nor to delete it. Played by this thread, impersonating the run's
// own token lowered to medium.
TEST(WorkFolderTest, MediumIntegrityProgramsCannotTouchAnElevatedRunsFolder) {
  if (testing_support::UnderWine()) {
    GTEST_SKIP() << "Wine keeps no integrity labels";
  }
  if (!RunsElevated()) {
    GTEST_SKIP() << "a standard user's run labels nothing: the user's other "
                    "programs are its peers";
  }
  ScratchFolder folder(L"label");
  PathString work_folder;
  RunOutcome outcome;
  HeldFile held;
  outcome = CreateWorkFolder(folder.path().c_str(), &work_folder, &held);
  ASSERT_TRUE(outcome.Succeeded());
  HANDLE own = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(),
                               TOKEN_DUPLICATE | TOKEN_QUERY, &own));
  HANDLE medium = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr,
                               SecurityImpersonation, TokenImpersonation,
                               &medium));
  CloseHandle(own);
  SID_IDENTIFIER_AUTHORITY label_authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
  PSID medium_sid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&label_authority, 1,
                                       SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0,
                                       0, 0, 0, 0, &medium_sid));
  TOKEN_MANDATORY_LABEL level = {};
  level.Label.Sid = medium_sid;
  level.Label.Attributes = SE_GROUP_INTEGRITY;
  ASSERT_TRUE(SetTokenInformation(medium, TokenIntegrityLevel, &level,
                                  sizeof(level) + GetLengthSid(medium_sid)));
  FreeSid(medium_sid);
  ASSERT_TRUE(SetThreadToken(nullptr, medium));
  const std::wstring inside = std::wstring(work_folder.data()) + L"planted.dll";
  const HANDLE planted = CreateFileW(inside.c_str(), GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, 0, nullptr);
  const DWORD planted_error = GetLastError();
  std::vector<DWORD> refused;
  for (const DWORD access : {DWORD{FILE_WRITE_ATTRIBUTES}, DWORD{DELETE}}) {
    const HANDLE opened = CreateFileW(
        work_folder.data(), access,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    refused.push_back(opened == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
  }
  RevertToSelf();
  CloseHandle(medium);
  EXPECT_EQ(planted, INVALID_HANDLE_VALUE);
  if (planted != INVALID_HANDLE_VALUE) CloseHandle(planted);
  EXPECT_EQ(planted_error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(refused[0], static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Deletion may be granted through the parent folder's FILE_DELETE_CHILD,
  // which the user has in a folder of theirs; the hold refuses it then.
  EXPECT_TRUE(refused[1] == ERROR_ACCESS_DENIED ||
              refused[1] == ERROR_SHARING_VIOLATION)
      << refused[1];
  held.Release();
  RemoveDirectoryW(work_folder.data());
}

// The deepest installer folder whose work folder CreateDirectoryW would
// still make for a program that is not long-path aware ("the directory name
// cannot exceed MAX_PATH minus 12"), and one deeper: that one ends as a path
// too long, at once, with nothing made.
TEST(WorkFolderTest, ExecutableFolderLengthLimit) {
  struct Case {
    size_t length_with_prefix;
    bool created;
  };
  for (const Case& c : {Case{238, true}, Case{239, false}}) {
    SCOPED_TRACE(c.length_with_prefix);
    ScratchFolder folder(L"long");
    std::wstring executable_folder = folder.path();
    const size_t wanted = c.length_with_prefix - 3;
    ASSERT_LT(executable_folder.size() + 2, wanted);
    while (executable_folder.size() < wanted) {
      size_t part = std::min<size_t>(wanted - executable_folder.size(), 100);
      // Never leave a single unit over: it would make an empty name.
      if (wanted - executable_folder.size() - part == 1) --part;
      executable_folder += std::wstring(part - 1, L'd') + L"\\";
      ASSERT_TRUE(CreateDirectoryW(executable_folder.c_str(), nullptr));
    }
    ASSERT_EQ(executable_folder.size(), wanted);
    ASSERT_EQ(executable_folder.back(), L'\\');

    PathString work_folder;
    RunOutcome outcome;
    CreateScript script;
    {
      PatchedCreation patch(&script);
      ASSERT_TRUE(patch.applied());
      outcome = CreateWorkFolder(executable_folder.c_str(), &work_folder);
      EXPECT_EQ(outcome.Succeeded(), c.created);
    }
    EXPECT_EQ(script.calls.size(), c.created ? 1u : 0u);
    if (c.created) {
      EXPECT_EQ(outcome.exit_code, 0u);
      EXPECT_EQ(work_folder.Length(), 248u);
      EXPECT_TRUE(FileExists(work_folder.data()));
    } else {
      EXPECT_EQ(outcome.exit_code, 108u);
      EXPECT_EQ(outcome.windows_error, 0u);
      EXPECT_TRUE(Children(executable_folder).empty());
    }
  }
}

TEST(WorkFolderTest, DrawsNewNameAfterFailure) {
  struct Case {
    int collisions;
    size_t calls;
    uint32_t exit_code;
  };
  for (const Case& c : {Case{1, 2, 0}, Case{9, 10, 0}, Case{10, 10, 109}}) {
    SCOPED_TRACE(c.collisions);
    ScratchFolder folder(L"collide");
    CreateScript script;
    script.collisions = c.collisions;
    PathString work_folder;
    RunOutcome outcome;
    bool created = false;
    {
      PatchedCreation patch(&script);
      outcome = CreateWorkFolder(folder.path().c_str(), &work_folder);
      created = outcome.Succeeded();
    }
    EXPECT_EQ(created, c.exit_code == 0);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.windows_error, 0u);
    EXPECT_EQ(script.calls.size(), c.calls);
    for (const CreateCall& call : script.calls) {
      EXPECT_TRUE(IsWorkFolderName(call.name + L"\\")) << call.name;
    }
    EXPECT_EQ(Children(folder.path()).size(), created ? 1u : 0u);
  }
}

// Faults of the owner lookup, each with an error of its own that must reach
// the outcome through the cleanup that follows.
struct TokenScript {
  decltype(&GetTokenInformation) original = nullptr;
  int fail_on_call = 0;
  DWORD error = 0;
  int calls = 0;
  int open_calls = 0;
};
TokenScript* token_script = nullptr;

BOOL WINAPI ScriptedOpenProcessToken(HANDLE, DWORD, PHANDLE) {
  ++token_script->open_calls;
  SetLastError(token_script->error);
  return FALSE;
}

BOOL WINAPI ScriptedGetTokenInformation(HANDLE token,
                                        TOKEN_INFORMATION_CLASS kind,
                                        LPVOID buffer, DWORD size,
                                        PDWORD needed) {
  if (++token_script->calls == token_script->fail_on_call) {
    if (needed != nullptr) *needed = 0;
    SetLastError(token_script->error);
    return FALSE;
  }
  return token_script->original(token, kind, buffer, size, needed);
}

using testing_support::NoisyClose;

TEST(WorkFolderTest, FailedOwnerLookupFailsStage) {
  struct Case {
    const char* function;
    int fail_on_call;
    DWORD error;
  };
  const Case cases[] = {
      {"OpenProcessToken", 1, ERROR_PRIVILEGE_NOT_HELD},
      {"GetTokenInformation", 1, ERROR_BAD_LENGTH},
      {"GetTokenInformation", 2, ERROR_NO_TOKEN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " call " +
                 std::to_string(c.fail_on_call));
    ScratchFolder folder(L"owner");
    TokenScript script;
    script.fail_on_call = c.fail_on_call;
    script.error = c.error;
    token_script = &script;
    const bool open = std::string(c.function) == "OpenProcessToken";
    ImportPatch patch(
        "advapi32.dll", c.function,
        open ? reinterpret_cast<void*>(&ScriptedOpenProcessToken)
             : reinterpret_cast<void*>(&ScriptedGetTokenInformation));
    ASSERT_TRUE(patch.applied());
    script.original = patch.original<decltype(&GetTokenInformation)>();
    NoisyClose close;
    PathString work_folder;
    RunOutcome outcome;
    outcome = CreateWorkFolder(folder.path().c_str(), &work_folder);
    EXPECT_FALSE(outcome.Succeeded());
    token_script = nullptr;
    EXPECT_EQ(outcome.exit_code, 117u);
    EXPECT_EQ(outcome.windows_error, c.error);
    EXPECT_TRUE(Children(folder.path()).empty());
  }
}

BOOL WINAPI FailingGetVolumePathName(LPCWSTR, LPWSTR, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
BOOL WINAPI FailingGetVolumeInformation(LPCWSTR, LPWSTR, DWORD, LPDWORD,
                                        LPDWORD, LPDWORD, LPWSTR, DWORD) {
  SetLastError(ERROR_NOT_READY);
  return FALSE;
}
BOOL WINAPI FatGetVolumeInformation(LPCWSTR, LPWSTR, DWORD, LPDWORD serial,
                                    LPDWORD component, LPDWORD flags, LPWSTR,
                                    DWORD) {
  if (serial != nullptr) *serial = 0x1234;
  if (component != nullptr) *component = 255;
  *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  return TRUE;
}

// A volume without persistent ACLs, or one that cannot be asked, gets a
// folder with inherited security, and no owner is looked up: a token that
// would fail the lookup does not matter there.
TEST(WorkFolderTest, VolumeWithoutAclsGetsInheritedSecurity) {
  struct Case {
    const char* function;
    void* replacement;
  };
  const Case cases[] = {
      {"GetVolumePathNameW",
       reinterpret_cast<void*>(&FailingGetVolumePathName)},
      {"GetVolumeInformationW",
       reinterpret_cast<void*>(&FailingGetVolumeInformation)},
      {"GetVolumeInformationW",
       reinterpret_cast<void*>(&FatGetVolumeInformation)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    ScratchFolder folder(L"noacl");
    ImportPatch volume("kernel32.dll", c.function, c.replacement);
    ASSERT_TRUE(volume.applied());
    TokenScript tokens;
    tokens.error = ERROR_PRIVILEGE_NOT_HELD;
    token_script = &tokens;
    ImportPatch token("advapi32.dll", "OpenProcessToken",
                      reinterpret_cast<void*>(&ScriptedOpenProcessToken));
    CreateScript script;
    PathString work_folder;
    RunOutcome outcome;
    bool created = false;
    {
      PatchedCreation patch(&script);
      outcome = CreateWorkFolder(folder.path().c_str(), &work_folder);
      created = outcome.Succeeded();
    }
    token_script = nullptr;
    EXPECT_TRUE(created);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(tokens.open_calls, 0);
    ASSERT_EQ(script.calls.size(), 1u);
    EXPECT_FALSE(script.calls[0].has_descriptor);
    EXPECT_TRUE(FileExists(work_folder.data()));
  }
}

}  // namespace
}  // namespace installer
