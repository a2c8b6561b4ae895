#include "unpack/work_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/import_patch.h"
#include "testing/noisy_close.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::ImportPatch;
using testing_support::ScratchFolder;

// The folder's descriptor as the platform writes it back: the same flags as
// the stub's "OIIOCI", in the platform's own order.
constexpr wchar_t kSecurityPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
    L"(A;OICIIO;GA;;;CO)(A;;FA;;;";

// What CreateDirectoryW was handed, call by call, and how it answers.
struct DirectoryCall {
  std::wstring path;
  bool has_attributes = false;
  DWORD length = 0;
  BOOL inherit = FALSE;
  std::wstring dacl_text;
};
struct DirectoryScript {
  decltype(&CreateDirectoryW) original = nullptr;
  int collisions = 0;  // the first calls fail with ERROR_ALREADY_EXISTS
  std::vector<DirectoryCall> calls;
};
DirectoryScript* directory_script = nullptr;

BOOL WINAPI ScriptedCreateDirectory(LPCWSTR path,
                                    LPSECURITY_ATTRIBUTES attributes) {
  DirectoryScript& script = *directory_script;
  DirectoryCall call;
  call.path = path;
  if (attributes != nullptr) {
    call.has_attributes = true;
    call.length = attributes->nLength;
    call.inherit = attributes->bInheritHandle;
    // Converted here: the stub frees the descriptor before it returns, and
    // Wine does not keep a folder's DACL to read back afterwards.
    wchar_t* text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->lpSecurityDescriptor, SDDL_REVISION_1,
            DACL_SECURITY_INFORMATION, &text, nullptr)) {
      call.dacl_text = text;
      LocalFree(text);
    }
  }
  script.calls.push_back(call);
  if (static_cast<int>(script.calls.size()) <= script.collisions) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  return script.original(path, attributes);
}

class PatchedDirectories {
 public:
  explicit PatchedDirectories(DirectoryScript* script)
      : patch_("kernel32.dll", "CreateDirectoryW",
               reinterpret_cast<void*>(&ScriptedCreateDirectory)) {
    script->original = patch_.original<decltype(&CreateDirectoryW)>();
    directory_script = script;
  }
  ~PatchedDirectories() { directory_script = nullptr; }
  bool applied() const { return patch_.applied(); }

 private:
  ImportPatch patch_;
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
  ScratchFolder folder(L"work");
  DirectoryScript script;
  PathString work_folder;
  RunOutcome outcome = MakeOutcome(ExitCode::SetupStartFailed);
  bool created = false;
  {
    PatchedDirectories patch(&script);
    ASSERT_TRUE(patch.applied());
    created = CreateWorkFolder(folder.path().c_str(), &work_folder, &outcome);
  }
  ASSERT_TRUE(created);
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_EQ(outcome.windows_error, 0u);
  const std::wstring path = work_folder.data();
  ASSERT_EQ(path.compare(0, folder.path().size(), folder.path()), 0);
  EXPECT_TRUE(IsWorkFolderName(path.substr(folder.path().size()))) << path;
  EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

  ASSERT_EQ(script.calls.size(), 1u);
  const DirectoryCall& call = script.calls[0];
  EXPECT_EQ(call.path + L"\\", path);
  ASSERT_TRUE(call.has_attributes);
  EXPECT_EQ(call.length, 24u);
  EXPECT_FALSE(call.inherit);
  // Under Wine the token's owner (a group) differs from its user, so this
  // also tells TokenOwner from TokenUser.
  const std::wstring owner = TokenOwnerSid();
  ASSERT_FALSE(owner.empty());
  const std::wstring expected = kSecurityPrefix + owner + L")";
  EXPECT_EQ(call.dacl_text.substr(0, call.dacl_text.find(L'(')),
            expected.substr(0, expected.find(L'(')));
  EXPECT_TRUE(SameAces(call.dacl_text, expected))
      << std::filesystem::path(call.dacl_text).string();
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
  ASSERT_TRUE(CreateWorkFolder(folder.path().c_str(), &work_folder, &outcome));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(work_folder.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  nullptr, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  wchar_t* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
      nullptr));
  const std::wstring dacl = text;
  LocalFree(text);
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

// CreateDirectoryW held to Microsoft's documented limit for a program that
// is not long-path aware: "the directory name cannot exceed MAX_PATH minus
// 12". Wine creates longer ones; Windows refuses them.
decltype(&CreateDirectoryW) real_create_directory = nullptr;
int create_directory_calls = 0;
BOOL WINAPI DocumentedCreateDirectory(LPCWSTR path,
                                      LPSECURITY_ATTRIBUTES attributes) {
  ++create_directory_calls;
  if (lstrlenW(path) > MAX_PATH - 12 - 1) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  return real_create_directory(path, attributes);
}

// The deepest installer folder whose work folder Windows still creates,
// and one deeper: that one ends as a path too long, at once.
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
    create_directory_calls = 0;
    {
      ImportPatch documented("kernel32.dll", "CreateDirectoryW",
                             reinterpret_cast<void*>(
                                 &DocumentedCreateDirectory));
      ASSERT_TRUE(documented.applied());
      real_create_directory =
          documented.original<decltype(&CreateDirectoryW)>();
      EXPECT_EQ(
          CreateWorkFolder(executable_folder.c_str(), &work_folder, &outcome),
          c.created);
    }
    EXPECT_EQ(create_directory_calls, c.created ? 1 : 0);
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
    DirectoryScript script;
    script.collisions = c.collisions;
    PathString work_folder;
    RunOutcome outcome;
    bool created = false;
    {
      PatchedDirectories patch(&script);
      created = CreateWorkFolder(folder.path().c_str(), &work_folder, &outcome);
    }
    EXPECT_EQ(created, c.exit_code == 0);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.windows_error, 0u);
    EXPECT_EQ(script.calls.size(), c.calls);
    for (const DirectoryCall& call : script.calls) {
      EXPECT_TRUE(
          IsWorkFolderName(call.path.substr(folder.path().size()) + L"\\"))
          << call.path;
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
    EXPECT_FALSE(
        CreateWorkFolder(folder.path().c_str(), &work_folder, &outcome));
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
    DirectoryScript script;
    PathString work_folder;
    RunOutcome outcome;
    bool created = false;
    {
      PatchedDirectories patch(&script);
      created = CreateWorkFolder(folder.path().c_str(), &work_folder, &outcome);
    }
    token_script = nullptr;
    EXPECT_TRUE(created);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(tokens.open_calls, 0);
    ASSERT_EQ(script.calls.size(), 1u);
    EXPECT_FALSE(script.calls[0].has_attributes);
    EXPECT_TRUE(FileExists(work_folder.data()));
  }
}

}  // namespace
}  // namespace installer
