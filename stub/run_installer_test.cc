#include "stub/run_installer.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/installer_settings.h"
#include "testing/import_patch.h"
#include "testing/registry_scratch.h"

// The run sequence inside this test binary, whose own image carries no
// payload: the endings before the work folder exists, and the road of a
// failed unpacking. Installers with a payload are run end to end elsewhere.
namespace installer {
namespace {

using testing_support::ImportPatch;
using testing_support::LookupPatch;
using testing_support::NumberBytes;
using testing_support::ReadRawValue;
using testing_support::ScratchKey;
using testing_support::TextBytes;

const std::wstring kClientState =
    std::wstring(L"Software\\Quivra\\Update\\ClientState\\") + kStableAppGuid;
const wchar_t* const kRecordValues[] = {L"ap", L"InstallerResult",
                                        L"InstallerError",
                                        L"InstallerExtraCode1"};

int trims = 0;
BOOL WINAPI CountingSetProcessWorkingSetSize(HANDLE, SIZE_T, SIZE_T) {
  ++trims;
  return TRUE;
}

const wchar_t* command_line = L"stub.exe";
LPWSTR WINAPI FixedCommandLine() { return const_cast<LPWSTR>(command_line); }

LPWSTR* WINAPI FailingCommandLineToArgv(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

DWORD WINAPI FullBufferModuleName(HMODULE, LPWSTR buffer, DWORD size) {
  for (DWORD i = 0; i < size; ++i) buffer[i] = i % 10 == 0 ? L'\\' : L'a';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

DWORD WINAPI FailingModuleName(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return 0;
}

DWORD WINAPI BareModuleName(HMODULE, LPWSTR buffer, DWORD) {
  lstrcpyW(buffer, L"stub.exe");
  // A success that leaves an old error behind must not be reported as one.
  SetLastError(ERROR_GEN_FAILURE);
  return 8;
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

std::set<std::wstring> WorkFoldersBeside() {
  std::set<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(OwnFolder())) {
    const std::wstring name = entry.path().filename();
    if (name.rfind(L"KV_", 0) == 0) names.insert(name);
  }
  return names;
}

// Runs the installer on this binary's own image with the given command line
// and the module name replaced (or not), counting the trims.
RunOutcome RunOwnImage(const wchar_t* line, void* module_name_replacement) {
  command_line = line;
  trims = 0;
  ImportPatch trim("kernel32.dll", "SetProcessWorkingSetSize",
                   reinterpret_cast<void*>(CountingSetProcessWorkingSetSize));
  ImportPatch fixed_line("kernel32.dll", "GetCommandLineW",
                         reinterpret_cast<void*>(FixedCommandLine));
  EXPECT_TRUE(trim.applied());
  EXPECT_TRUE(fixed_line.applied());
  if (module_name_replacement == nullptr) {
    return RunInstaller(GetModuleHandleW(nullptr));
  }
  ImportPatch module_name("kernel32.dll", "GetModuleFileNameW",
                          module_name_replacement);
  EXPECT_TRUE(module_name.applied());
  return RunInstaller(GetModuleHandleW(nullptr));
}

TEST(RunInstallerTest, EarlyEndingsCreateAndRecordNothing) {
  struct Case {
    const char* why;
    const wchar_t* line;
    void* module_name;
    void* split;
    uint32_t exit_code;
    uint32_t windows_error;
  };
  const Case cases[] = {
      {"cleanup switch", L"stub.exe --cleanup", nullptr, nullptr, 118, 0},
      {"frame switch in capitals", L"stub.exe x --KORVEL-FRAME", nullptr,
       nullptr, 118, 0},
      {"command line cannot be split", L"stub.exe x", nullptr,
       reinterpret_cast<void*>(FailingCommandLineToArgv), 101,
       ERROR_NOT_ENOUGH_MEMORY},
      {"own path fills the buffer", L"stub.exe",
       reinterpret_cast<void*>(FullBufferModuleName), nullptr, 108,
       ERROR_INSUFFICIENT_BUFFER},
      {"own path cannot be read", L"stub.exe",
       reinterpret_cast<void*>(FailingModuleName), nullptr, 108,
       ERROR_ACCESS_DENIED},
      {"own path has no folder", L"stub.exe",
       reinterpret_cast<void*>(BareModuleName), nullptr, 108, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ScratchKey client_state(HKEY_CURRENT_USER, kClientState);
    ASSERT_TRUE(client_state.created());
    const std::set<std::wstring> before = WorkFoldersBeside();
    RunOutcome outcome;
    if (c.split != nullptr) {
      LookupPatch split("CommandLineToArgvW", c.split);
      ASSERT_TRUE(split.applied());
      outcome = RunOwnImage(c.line, c.module_name);
    } else {
      outcome = RunOwnImage(c.line, c.module_name);
    }
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.windows_error, c.windows_error);
    EXPECT_EQ(trims, 0);
    EXPECT_EQ(WorkFoldersBeside(), before);
    for (const wchar_t* value : kRecordValues) {
      EXPECT_FALSE(ReadRawValue(HKEY_CURRENT_USER, kClientState, value).exists)
          << "value written";
    }
  }
}

TEST(RunInstallerTest, MissingPayloadTrimsOnceRemovesTheFolderAndReports) {
  ScratchKey client_state(HKEY_CURRENT_USER, kClientState);
  ASSERT_TRUE(client_state.created());
  const std::set<std::wstring> before = WorkFoldersBeside();

  const RunOutcome outcome = RunOwnImage(L"stub.exe", nullptr);

  EXPECT_EQ(outcome.exit_code, 112u);
  EXPECT_EQ(outcome.windows_error, 2u);
  EXPECT_EQ(trims, 1);
  EXPECT_EQ(WorkFoldersBeside(), before);
  EXPECT_EQ(ReadRawValue(HKEY_CURRENT_USER, kClientState, L"ap").bytes,
            TextBytes(L"-full", true));
  EXPECT_EQ(
      ReadRawValue(HKEY_CURRENT_USER, kClientState, L"InstallerResult").bytes,
      NumberBytes(1));
  EXPECT_EQ(
      ReadRawValue(HKEY_CURRENT_USER, kClientState, L"InstallerError").bytes,
      NumberBytes(112));
  EXPECT_EQ(ReadRawValue(HKEY_CURRENT_USER, kClientState,
                         L"InstallerExtraCode1")
                .bytes,
            NumberBytes(2));
}

TEST(RunInstallerTest, SuccessRecordCountsExtraAttemptsInLow16Bits) {
  const struct {
    int32_t max_delete_attempts;
    uint32_t value;
  } cases[] = {
      {-1, 0x30000},      {0, 0x30000},     {1, 0x30000},
      {2, 0x30001},       {7, 0x30006},     {100, 0x30063},
      {0x10001, 0x30000}, {0x10002, 0x30001},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SuccessRecordValue(c.max_delete_attempts), c.value)
        << c.max_delete_attempts;
  }
}

}  // namespace
}  // namespace installer
