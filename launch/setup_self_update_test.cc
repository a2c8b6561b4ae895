#include "launch/setup_self_update.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "launch/installed_setup.h"
#include "support/bounded_string.h"
#include "support/installer_settings.h"
#include "testing/import_patch.h"
#include "testing/integrity_level.h"
#include "testing/registry_scratch.h"
#include "testing/run_program.h"
#include "testing/stand_in_setup/sha256.h"
#include "testing/stand_in_setup/stand_in_record.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::ImportPatch;
using testing_support::IntegrityLevelDouble;
using testing_support::KeyExists;
using testing_support::ReadStandInRecord;
using testing_support::ReadWholeFile;
using testing_support::RunProgram;
using testing_support::ScopedVariable;
using testing_support::ScratchFolder;
using testing_support::ScratchKey;
using testing_support::Sha256Hex;
using testing_support::StandInPatch;
using testing_support::StandInRun;
using testing_support::TextBytes;
using testing_support::Utf8;
using testing_support::TestFile;
using testing_support::WriteWholeFile;

// Made up, so that no channel of the product is touched.
constexpr wchar_t kTestGuid[] = L"{0D5E8A41-7C2B-4F19-B6E3-5A9C1D7E2F80}";
const std::wstring kUserKey =
    std::wstring(L"Software\\Quivra\\Update\\ClientState\\") + kTestGuid;
// The 32-bit view of HKEY_LOCAL_MACHINE\Software in a 64-bit prefix.
const std::wstring kMachineKey =
    std::wstring(L"Software\\Wow6432Node\\Quivra\\Update\\ClientState\\") +
    kTestGuid;

// A work folder with a patch in it, and a copy of the stand-in installed in
// a folder of its own and registered in the client-state key of the test
// channel the way the product registers itself.
class SelfUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserKey));
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kMachineKey));
    settings_.app_guid = kTestGuid;
    settings_.command_line = L"\"C:\\dl\\installer.exe\"";
    WriteWholeFile(patch_, StandInPatch(new_program_));
  }

  // Copies the stand-in to `installed` and has it register itself there.
  void Install(const std::wstring& installed, bool system_level, bool quoted) {
    CreateDirectoryW(installed.substr(0, installed.rfind(L'\\')).c_str(),
                     nullptr);
    ASSERT_TRUE(CopyFileW(TestFile(STAND_IN_SETUP_EXE).c_str(),
                          installed.c_str(), FALSE));
    // Created here first, so that its removal takes everything the
    // registration added.
    key_ = std::make_unique<ScratchKey>(
        system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
        system_level ? kMachineKey : kUserKey);
    ASSERT_TRUE(key_->created());
    std::wstring arguments = std::wstring(L"--register-installed ") + kTestGuid;
    if (system_level) arguments += L" --system-level";
    if (quoted) arguments += L" --quoted";
    ASSERT_EQ(RunProgram(installed, arguments), 0u);
  }

  RunOutcome Update() {
    return RunSetupSelfUpdate(settings_, patch_.c_str(), new_setup_.c_str(),
                              &max_delete_attempts_);
  }

  std::vector<StandInRun> Runs() const { return ReadStandInRecord(record_); }

  ScratchFolder work_{L"self_update"};
  ScratchFolder installed_folder_{L"installed"};
  const std::wstring installed_ = installed_folder_.Child(L"setup.exe");
  const std::wstring patch_ = work_.Child(L"SETUP.PATCH");
  const std::wstring new_setup_ = work_.Child(L"setup.exe");
  const std::string new_program_ = "the new setup program\r\n\x00\xff";
  const std::wstring record_ = work_.Child(L"record.txt");
  ScopedVariable record_variable_{L"STAND_IN_SETUP_RECORD", record_};
  std::unique_ptr<ScratchKey> key_;
  InstallerSettings settings_;
  int32_t max_delete_attempts_ = 0;
  // The road these tests take: a standard user's run, which starts the
  // installed setup program its own registry values name, whatever token
  // the machine gives (Wine 8 gives every run an elevated one).
  IntegrityLevelDouble standard_user_{SECURITY_MANDATORY_MEDIUM_RID};
};

// An elevated run does not start the installed setup program that the
// user's own registry values name, at a path the user can write: the start
// is refused as one that failed, and the patch goes as after any start. A
// system-level run, whose registration only administrators write, starts
// it as ever.
TEST_F(SelfUpdateTest, ElevatedRunStartsNoSetupTheUserNamed) {
  IntegrityLevelDouble elevated(SECURITY_MANDATORY_HIGH_RID);
  ASSERT_TRUE(elevated.applied());
  Install(installed_, false, true);
  const RunOutcome outcome = Update();
  EXPECT_EQ(outcome.exit_code, 121u);
  EXPECT_EQ(outcome.windows_error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(FileExists(patch_));
  EXPECT_FALSE(FileExists(new_setup_));
  EXPECT_TRUE(Runs().empty());
  key_.reset();

  if (!testing_support::Elevated()) {
    GTEST_SKIP() << "the system-level registration lies in HKLM, which "
                    "needs an elevated run";
  }
  WriteWholeFile(patch_, StandInPatch(new_program_));
  Install(installed_, true, true);
  settings_.system_level = true;
  EXPECT_EQ(Update().exit_code, 0u);
  EXPECT_EQ(ReadWholeFile(new_setup_), new_program_);
  EXPECT_EQ(Runs().size(), 1u);
}

TEST_F(SelfUpdateTest, InstalledSetupBuildsTheNewSetupProgram) {
  struct Case {
    const char* label;
    bool system_level;
    bool quoted;
  };
  const Case cases[] = {{"per user, quoted", false, true},
                        {"per user, plain", false, false},
                        {"system level, quoted", true, true}};
  // A system-level registration lies in HKLM, which only an elevated run
  // may write (under Wine 8 every run is one; Wine 10 elevates only a
  // program whose manifest asks for it).
  bool machine_rows_skipped = false;
  int row = 0;
  for (const Case& c : cases) {
    if (c.system_level && !testing_support::Elevated()) {
      machine_rows_skipped = true;
      continue;
    }
    SCOPED_TRACE(c.label);
    // A copy of its own for each row: Windows may keep the image of the
    // program the previous row ran locked for a moment after it ended.
    const std::wstring installed =
        installed_folder_.Child(L"setup" + std::to_wstring(++row) + L".exe");
    Install(installed, c.system_level, c.quoted);
    WriteWholeFile(patch_, StandInPatch(new_program_));
    settings_.system_level = c.system_level;
    settings_.command_line = L"\"C:\\dl\\installer.exe\" --system-level  --x";
    max_delete_attempts_ = 0;

    const RunOutcome outcome = Update();
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(outcome.windows_error, 0u);
    const std::vector<StandInRun> runs = Runs();
    ASSERT_EQ(runs.size(), 1u);
    // No quotes doubled: the registered quotes are gone before the path is
    // quoted again as the first token. The stub's arguments come last.
    EXPECT_EQ(runs[0]["command_line"],
              Utf8(L"\"" + installed + L"\" --update-setup-exe=\"" + patch_ +
                   L"\" --new-setup-exe=\"" + new_setup_ +
                   L"\" --system-level  --x"));
    EXPECT_EQ(runs[0]["mode"], "self-update");
    EXPECT_EQ(runs[0]["update-setup-exe.sha256"],
              Sha256Hex(StandInPatch(new_program_)));
    EXPECT_EQ(ReadWholeFile(new_setup_), new_program_);
    EXPECT_FALSE(FileExists(patch_));
    EXPECT_EQ(max_delete_attempts_, 1);
    DeleteFileW(record_.c_str());
    DeleteFileW(new_setup_.c_str());
    key_.reset();
  }
  if (machine_rows_skipped) {
    GTEST_SKIP() << "every other row passed; the system-level row writes "
                    "HKLM, which needs an elevated run";
  }
}

TEST_F(SelfUpdateTest, InstalledSetupExitCodeIsTheOutcomeAndThePatchGoes) {
  Install(installed_, false, true);
  struct Case {
    const char* exit_code;
    std::string patch;
    uint32_t expected;
  };
  const Case cases[] = {
      {"7", StandInPatch(new_program_), 7},
      {"0x80000001", StandInPatch(new_program_), 0x80000001},
      {"0", "not a patch", 201},  // the stand-in's own refusal
  };
  max_delete_attempts_ = 5;  // a larger count of the run stays
  for (const Case& c : cases) {
    WriteWholeFile(patch_, c.patch);
    ScopedVariable exit_code(
        L"STAND_IN_SETUP_EXIT_CODE",
        std::wstring(c.exit_code, c.exit_code + strlen(c.exit_code)));
    const RunOutcome outcome = Update();
    EXPECT_EQ(outcome.exit_code, c.expected);
    EXPECT_EQ(outcome.windows_error, 0u);
    EXPECT_FALSE(FileExists(patch_));
  }
  EXPECT_EQ(Runs().size(), std::size(cases));
  EXPECT_EQ(max_delete_attempts_, 5);
}

TEST_F(SelfUpdateTest, SelfCopyPatchGivesARunnableSetupProgram) {
  Install(installed_, false, false);
  WriteWholeFile(patch_, "STAND-IN-PATCH SELF\n");
  ASSERT_EQ(Update().exit_code, 0u);
  EXPECT_EQ(ReadWholeFile(new_setup_), ReadWholeFile(installed_));
  EXPECT_FALSE(FileExists(patch_));
}

TEST_F(SelfUpdateTest, FailedStartStillDeletesThePatch) {
  Install(installed_, false, true);
  ASSERT_TRUE(DeleteFileW(installed_.c_str()));
  RunOutcome outcome = Update();
  EXPECT_EQ(outcome.exit_code, 119u);
  EXPECT_EQ(outcome.windows_error, INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(FileExists(patch_));
  EXPECT_EQ(max_delete_attempts_, 1);

  ASSERT_TRUE(RemoveDirectoryW(installed_folder_.path().c_str()));
  WriteWholeFile(patch_, StandInPatch(new_program_));
  outcome = Update();
  EXPECT_EQ(outcome.exit_code, 120u);
  EXPECT_EQ(outcome.windows_error, INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(FileExists(patch_));
  EXPECT_TRUE(Runs().empty());
}

TEST_F(SelfUpdateTest, NothingLaunchedKeepsThePatch) {
  // No client-state key for the channel.
  RunOutcome outcome = Update();
  EXPECT_EQ(outcome.exit_code, 110u);
  EXPECT_EQ(outcome.windows_error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(FileExists(patch_));

  // Installed in a folder that does not name the version this payload
  // upgrades from; the comparison ignores case.
  const std::wstring versioned =
      installed_folder_.Child(L"Telvo-71.0.3578.98-Beta\\setup.exe");
  Install(versioned, false, true);
  settings_.previous_version = L"72.0.1";
  outcome = Update();
  EXPECT_EQ(outcome.exit_code, 111u);
  EXPECT_EQ(outcome.windows_error, 0u);
  EXPECT_TRUE(FileExists(patch_));
  EXPECT_EQ(max_delete_attempts_, 0);
  EXPECT_TRUE(Runs().empty());

  settings_.previous_version = L"71.0.3578.98-BETA";
  EXPECT_EQ(Update().exit_code, 0u);
  EXPECT_FALSE(FileExists(patch_));
  EXPECT_EQ(Runs().size(), 1u);
}

TEST_F(SelfUpdateTest, LineTooLongKeepsThePatch) {
  Install(installed_, false, true);
  // The same patch file, named through enough "." folders that the line
  // cannot hold it.
  std::wstring long_patch = work_.path();
  while (long_patch.size() < 900) long_patch += L".\\";
  long_patch += L"SETUP.PATCH";
  ASSERT_TRUE(FileExists(long_patch));
  const RunOutcome outcome = RunSetupSelfUpdate(
      settings_, long_patch.c_str(), new_setup_.c_str(), &max_delete_attempts_);
  EXPECT_EQ(outcome.exit_code, 105u);
  EXPECT_EQ(outcome.windows_error, 0u);
  EXPECT_TRUE(FileExists(patch_));
  EXPECT_EQ(max_delete_attempts_, 0);
  EXPECT_TRUE(Runs().empty());
}

int sleep_calls = 0;
void WINAPI NoSleep(DWORD) { ++sleep_calls; }

TEST_F(SelfUpdateTest, PatchHeldOpenThroughoutCountsEveryAttempt) {
  Install(installed_, false, true);
  ImportPatch sleep("kernel32.dll", "Sleep", reinterpret_cast<void*>(&NoSleep));
  ASSERT_TRUE(sleep.applied());
  sleep_calls = 0;

  // Another process holds the patch without sharing for far longer than the
  // update takes with its waits skipped.
  const std::wstring holder = TestFile(FILE_HOLDER_EXE);
  std::wstring line = L"\"" + holder + L"\" \"" + patch_ + L"\" 60000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(holder.c_str(), line.data(), nullptr, nullptr,
                             FALSE, 0, nullptr, nullptr, &startup, &process));
  CloseHandle(process.hThread);
  for (int i = 0; i < 500 && !FileExists(patch_ + L".ready"); ++i) {
    sleep.original<decltype(&Sleep)>()(10);
  }
  ASSERT_TRUE(FileExists(patch_ + L".ready"));

  const RunOutcome outcome = Update();
  // The installed setup ran, could not read the patch either, and its own
  // exit code is the outcome.
  EXPECT_EQ(outcome.exit_code, 201u);
  EXPECT_EQ(outcome.windows_error, 0u);
  const std::vector<StandInRun> runs = Runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0]["update-setup-exe.error"],
            std::to_string(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(max_delete_attempts_, 100);
  EXPECT_EQ(sleep_calls, 99);
  EXPECT_TRUE(FileExists(patch_));

  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
}

// The lookup on its own, for values the product would not write.
TEST(LocateInstalledSetupTest, UninstallStringValues) {
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserKey));
  const std::wstring path = L"C:\\Program Files\\Telvo\\setup.exe";
  struct Case {
    const char* label;
    DWORD type;
    std::string bytes;
    uint32_t exit_code;
    uint32_t windows_error;
    std::wstring located;
  };
  const Case cases[] = {
      {"quoted", REG_SZ, TextBytes(L"\"" + path + L"\"", true), 0, 0, path},
      {"quoted with arguments", REG_SZ,
       TextBytes(L"\"" + path + L"\" --uninstall", true), 0, 0,
       L"\"" + path + L"\" --uninstall"},
      {"one quote", REG_SZ, TextBytes(L"\"", true), 0, 0, L"\""},
      {"empty", REG_SZ, TextBytes(L"", true), 0, 0, L""},
      {"two quotes", REG_SZ, TextBytes(L"\"\"", true), 0, 0, L""},
      {"no value", REG_NONE, "", 110, ERROR_FILE_NOT_FOUND, L""},
      {"not a text", REG_EXPAND_SZ, TextBytes(path, true), 110,
       ERROR_NOT_SUPPORTED, L""},
      {"too long", REG_SZ, TextBytes(std::wstring(260, L'p'), true), 110,
       ERROR_MORE_DATA, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchKey key(HKEY_CURRENT_USER, kUserKey);
    ASSERT_TRUE(key.created());
    if (c.type != REG_NONE) key.SetRaw(L"UninstallString", c.type, c.bytes);
    PathString located;
    const RunOutcome outcome = LocateInstalledSetup(
        false, kTestGuid, nullptr, located.data(), kPathCapacity);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.windows_error, c.windows_error);
    if (c.exit_code == 0) {
      EXPECT_EQ(Utf8(located.data()), Utf8(c.located));
    }
  }
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kUserKey));
}

}  // namespace
}  // namespace installer
