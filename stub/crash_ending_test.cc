#include "stub/crash_ending.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "launch/setup_self_update.h"
#include "stub/run_state.h"
#include "support/installer_settings.h"
#include "testing/import_patch.h"
#include "testing/integrity_level.h"
#include "testing/registry_scratch.h"
#include "testing/run_program.h"
#include "testing/stand_in_setup/stand_in_record.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::ImportPatch;
using testing_support::IntegrityLevelDouble;
using testing_support::NumberBytes;
using testing_support::ReadRawValue;
using testing_support::ReadStandInRecord;
using testing_support::RunProgram;
using testing_support::ScopedVariable;
using testing_support::ScratchFolder;
using testing_support::ScratchKey;
using testing_support::TestFile;
using testing_support::WriteWholeFile;

// Made up, so that no channel of the product is touched.
constexpr wchar_t kTestGuid[] = L"{6A0F3C92-1E4D-4B7A-8C25-D9E1B40F7A63}";
const std::wstring kUserKey =
    std::wstring(L"Software\\Quivra\\Update\\ClientState\\") + kTestGuid;

decltype(&WaitForSingleObject) g_real_wait;
bool g_faulted;

// The run's own thread faults at its first wait for a started program, as
// if a hook or a damaged page hit it there; every later wait, the crash
// ending's among them, is the real one.
DWORD WINAPI FaultAtFirstWait(HANDLE handle, DWORD milliseconds) {
  if (milliseconds == INFINITE && !g_faulted) {
    g_faulted = true;
    *static_cast<volatile int*>(nullptr) = 0;
  }
  return g_real_wait(handle, milliseconds);
}

// Run only as the child of the test below, in a process of its own, which
// the crash ending ends: a run whose thread faults while the installed
// setup program of a self-update runs.
TEST(CrashEndingTest, DISABLED_RunFaultsWhileTheInstalledSetupRuns) {
  wchar_t work[MAX_PATH];
  ASSERT_NE(GetEnvironmentVariableW(L"CRASH_ENDING_WORK", work, MAX_PATH), 0u);
  const std::wstring folder = work;
  InstallerSettings settings;
  settings.app_guid = kTestGuid;
  settings.command_line = L"\"C:\\dl\\installer.exe\"";
  settings.delete_unpacked_files = false;
  RunState run;
  run.work_folder_made = true;
  ASSERT_TRUE(run.work_folder.Copy(folder.c_str()));
  // A standard user's run, which starts the setup program its own values
  // name.
  IntegrityLevelDouble standard_user(SECURITY_MANDATORY_MEDIUM_RID);
  ImportPatch wait("kernel32.dll", "WaitForSingleObject",
                   reinterpret_cast<void*>(&FaultAtFirstWait));
  ASSERT_TRUE(standard_user.applied() && wait.applied());
  g_real_wait = wait.original<decltype(&WaitForSingleObject)>();
  InstallCrashEnding();
  WatchRunForCrash(&settings, &run);
  int32_t attempts = 0;
  RunSetupSelfUpdate(settings, (folder + L"SETUP.PATCH").c_str(),
                     (folder + L"setup.exe").c_str(), &attempts);
  ADD_FAILURE() << "the run went on past its crash";
}

// The crash ending answers for setup alone: the installed setup program that
// builds setup in a self-update ending with 0 is no install, and the run
// ends as the crash it is, waiting for that program first.
TEST(CrashEndingTest, InstalledSetupsExitCodeIsNeverTheRuns) {
  ScratchFolder work{L"crash_ending"};
  ScratchFolder installed_folder{L"crash_installed"};
  const std::wstring installed = installed_folder.Child(L"setup.exe");
  ASSERT_TRUE(CopyFileW(TestFile(STAND_IN_SETUP_EXE).c_str(),
                        installed.c_str(), FALSE))
      << "Windows error " << GetLastError();
  ASSERT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, kUserKey));
  ScratchKey key(HKEY_CURRENT_USER, kUserKey);
  ASSERT_TRUE(key.created());
  ASSERT_EQ(RunProgram(installed, std::wstring(L"--register-installed ") +
                                      kTestGuid + L" --quoted"),
            0u);
  WriteWholeFile(work.Child(L"SETUP.PATCH"), "STAND-IN-PATCH SELF\n");

  const std::wstring record = work.Child(L"record.txt");
  ScopedVariable work_variable(L"CRASH_ENDING_WORK", work.path());
  ScopedVariable record_variable(L"STAND_IN_SETUP_RECORD", record);
  ScopedVariable exit_code(L"STAND_IN_SETUP_EXIT_CODE", L"0");
  wchar_t self[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const DWORD ended = RunProgram(
      self,
      L"--gtest_also_run_disabled_tests --gtest_filter=CrashEndingTest."
      L"DISABLED_RunFaultsWhileTheInstalledSetupRuns");

  // The installed setup program ran to its end before the process ended.
  const std::vector<testing_support::StandInRun> runs =
      ReadStandInRecord(record);
  ASSERT_EQ(runs.size(), 1u) << "the installed setup program did not run";
  EXPECT_EQ(runs[0]["mode"], "self-update");
  EXPECT_EQ(runs[0]["exit_code"], "0");
  EXPECT_EQ(ended, 125u);
  const auto value = [&](const wchar_t* name) {
    return ReadRawValue(HKEY_CURRENT_USER, kUserKey, name).bytes;
  };
  EXPECT_EQ(value(L"InstallerResult"), NumberBytes(1));
  EXPECT_EQ(value(L"InstallerError"), NumberBytes(125));
  EXPECT_EQ(value(L"InstallerExtraCode1"), NumberBytes(0xC0000005));
}

}  // namespace
}  // namespace installer
