#include "support/installer_settings.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <memory>
#include <string>

#include "testing/import_patch.h"
#include "testing/registry_scratch.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::ImportPatch;
using testing_support::LookupPatch;
using testing_support::NumberBytes;
using testing_support::ScratchKey;
using testing_support::TextBytes;

constexpr wchar_t kMachineVariable[] = L"QuivraUpdateIsMachine";
const std::wstring kCleanupKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Telvo";

// Sets or clears the machine variable for one test and clears it after.
class MachineVariable {
 public:
  explicit MachineVariable(const wchar_t* value) {
    SetEnvironmentVariableW(kMachineVariable, value);
  }
  ~MachineVariable() { SetEnvironmentVariableW(kMachineVariable, nullptr); }
};

int environment_reads = 0;
decltype(&GetEnvironmentVariableW) real_get_environment_variable = nullptr;

DWORD WINAPI CountingGetEnvironmentVariable(LPCWSTR name, LPWSTR buffer,
                                            DWORD size) {
  ++environment_reads;
  return real_get_environment_variable(name, buffer, size);
}

// Images built with windres whose only content is (or is not) RT_RCDATA 1.
std::wstring ImagePath(const char* name) {
  return testing_support::TestFile(
      std::string("support/settings_images/images/previous_") + name + ".dll");
}

LPWSTR* WINAPI FailingCommandLineToArgv(LPCWSTR, int*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

LPWSTR WINAPI LineWithArguments() {
  static wchar_t line[] = L"stub.exe --korvel-beta";
  return line;
}

TEST(ParseCommandLineTest, AppliesWholeSwitchesAfterTheProgramPath) {
  MachineVariable absent(nullptr);
  struct Case {
    const wchar_t* line;
    int32_t argc;
    bool system_level;
    bool cleanup_mode;
    const wchar_t* app_guid;
  };
  const Case cases[] = {
      {L"stub.exe", 1, false, false, kStableAppGuid},
      {L"stub.exe --system-level", 2, true, false, kStableAppGuid},
      {L"stub.exe --SYSTEM-LEVEL --System-Level", 3, true, false,
       kStableAppGuid},
      {L"stub.exe --system-level=1 --cleanup=1", 3, false, false,
       kStableAppGuid},
      {L"stub.exe --CLEANUP", 2, false, true, kStableAppGuid},
      {L"stub.exe --korvel-frame", 2, false, true, kStableAppGuid},
      {L"--cleanup", 1, false, false, kStableAppGuid},
      {L"--cleanup --cleanup", 2, false, true, kStableAppGuid},
      {L"stub.exe --korvel-beta --korvel-dev", 3, false, false, kDevAppGuid},
      {L"stub.exe --korvel-dev --korvel-beta", 3, false, false, kBetaAppGuid},
      {L"stub.exe --Korvel-Sxs", 2, false, false, kSideBySideAppGuid},
      {L"\"C:\\My Apps\\stub.exe\" \"--korvel-beta\" --other -- x", 5, false,
       false, kBetaAppGuid},
      {L"stub.exe \"--korvel-beta \"", 2, false, false, kStableAppGuid},
      // Nothing after the program path but spacing: nothing to split.
      {L"\"C:\\My Apps\\stub.exe\" \t ", 1, false, false, kStableAppGuid},
      {L"\"C:\\My Apps\\stub.exe --cleanup", 1, false, false,
       kStableAppGuid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.line);
    InstallerSettings settings;
    ASSERT_TRUE(settings.ParseCommandLine(c.line));
    EXPECT_EQ(settings.command_line, c.line);
    // The vector of a line that holds arguments; none is made without.
    EXPECT_EQ(settings.argv.IsValid(), c.argc > 1);
    EXPECT_EQ(settings.argc, c.argc);
    EXPECT_EQ(settings.system_level, c.system_level);
    EXPECT_EQ(settings.cleanup_mode, c.cleanup_mode);
    EXPECT_STREQ(settings.app_guid, c.app_guid);
    EXPECT_EQ(settings.app_guid, c.app_guid);  // one of the constants
    EXPECT_TRUE(settings.delete_unpacked_files);
    EXPECT_EQ(settings.previous_version, nullptr);
  }
}

TEST(ParseCommandLineTest, OnlyMachineVariableOneMeansSystemLevel) {
  struct Case {
    const wchar_t* value;  // null: absent
    bool system_level;
  };
  const Case cases[] = {
      {L"1", true}, {L"0", false},  {L"11", false},
      {L" 1", false}, {L"", false}, {nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "value [" << c.value << "]");
    MachineVariable variable(c.value);
    InstallerSettings settings;
    ASSERT_TRUE(settings.ParseCommandLine(L"stub.exe --korvel-dev"));
    EXPECT_EQ(settings.system_level, c.system_level);
  }
}

TEST(ParseCommandLineTest, SystemLevelSwitchSkipsTheEnvironment) {
  MachineVariable on(L"1");
  environment_reads = 0;
  ImportPatch patch("kernel32.dll", "GetEnvironmentVariableW",
                    reinterpret_cast<void*>(&CountingGetEnvironmentVariable));
  ASSERT_TRUE(patch.applied());
  real_get_environment_variable =
      patch.original<decltype(&GetEnvironmentVariableW)>();
  InstallerSettings settings;
  ASSERT_TRUE(settings.ParseCommandLine(L"stub.exe --system-level"));
  EXPECT_TRUE(settings.system_level);
  EXPECT_EQ(environment_reads, 0);
  ASSERT_TRUE(settings.ParseCommandLine(L"stub.exe"));
  EXPECT_TRUE(settings.system_level);
  EXPECT_EQ(environment_reads, 0);  // still set: flags are never cleared

  InstallerSettings fresh;
  ASSERT_TRUE(fresh.ParseCommandLine(L"stub.exe"));
  EXPECT_TRUE(fresh.system_level);
  EXPECT_EQ(environment_reads, 1);
}

TEST(ParseCommandLineTest, UnsplittableLineFailsWithTheSplitsError) {
  MachineVariable on(L"1");
  LookupPatch patch("CommandLineToArgvW",
                    reinterpret_cast<void*>(&FailingCommandLineToArgv));
  ASSERT_TRUE(patch.applied());
  InstallerSettings settings;
  SetLastError(0);
  const bool parsed = settings.ParseCommandLine(L"stub.exe --korvel-beta");
  const DWORD error = GetLastError();
  EXPECT_FALSE(parsed);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(settings.argv.IsValid());
  EXPECT_FALSE(settings.system_level);  // the environment was not consulted
  EXPECT_EQ(settings.app_guid, kStableAppGuid);
  // A line without arguments is not split at all.
  InstallerSettings bare;
  EXPECT_TRUE(bare.ParseCommandLine(L"stub.exe \t"));
  EXPECT_EQ(bare.argc, 1);
}

// The per-user value that can switch removal off, read by Load whatever the
// command line says.
class CleanupValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, kCleanupKey));
  }
  void TearDown() override {
    EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, kCleanupKey));
  }
  MachineVariable absent_{nullptr};
};

TEST_F(CleanupValueTest, OnlyTheTextZeroSwitchesRemovalOff) {
  struct Case {
    const char* label;
    bool key_exists;
    bool value_exists;
    DWORD type;
    std::string stored;
    bool delete_unpacked_files;
  };
  const Case cases[] = {
      {"text 0", true, true, REG_SZ, TextBytes(L"0", true), false},
      {"text 0 unterminated", true, true, REG_SZ, TextBytes(L"0", false),
       false},
      {"text 1", true, true, REG_SZ, TextBytes(L"1", true), true},
      {"text 00", true, true, REG_SZ, TextBytes(L"00", true), true},
      {"text 00 unterminated", true, true, REG_SZ, TextBytes(L"00", false),
       true},
      {"empty text", true, true, REG_SZ, TextBytes(L"", true), true},
      {"no bytes", true, true, REG_SZ, "", true},
      {"REG_DWORD 0", true, true, REG_DWORD, NumberBytes(0), true},
      {"REG_EXPAND_SZ 0", true, true, REG_EXPAND_SZ, TextBytes(L"0", true),
       true},
      {"no value", true, false, REG_SZ, "", true},
      {"no key", false, false, REG_SZ, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    {
      std::unique_ptr<ScratchKey> key;
      if (c.key_exists) {
        key = std::make_unique<ScratchKey>(HKEY_CURRENT_USER, kCleanupKey);
        ASSERT_TRUE(key->created());
        if (c.value_exists) {
          ASSERT_EQ(key->SetRaw(L"KorvelInstallerCleanup", c.type, c.stored),
                    0);
        }
      }
      InstallerSettings settings;
      ASSERT_TRUE(settings.Load(GetModuleHandleW(nullptr)).Succeeded());
      EXPECT_EQ(settings.delete_unpacked_files, c.delete_unpacked_files);
    }
    EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, kCleanupKey));
  }
}

TEST_F(CleanupValueTest, ResetRestoresEveryDefault) {
  ScratchKey key(HKEY_CURRENT_USER, kCleanupKey);
  ASSERT_TRUE(key.created());
  ASSERT_EQ(key.SetRaw(L"KorvelInstallerCleanup", REG_SZ,
                       TextBytes(L"0", true)),
            0);
  HMODULE image = LoadLibraryW(ImagePath("version").c_str());
  ASSERT_NE(image, nullptr) << GetLastError();
  InstallerSettings settings;
  ASSERT_TRUE(settings.Load(image).Succeeded());
  EXPECT_EQ(settings.command_line, GetCommandLineW());
  // A second split replaces the vector of the first.
  ASSERT_TRUE(settings.ParseCommandLine(
      L"stub.exe --system-level --korvel-sxs --cleanup"));
  ASSERT_FALSE(settings.delete_unpacked_files);
  ASSERT_NE(settings.previous_version, nullptr);

  settings.Reset();
  EXPECT_FALSE(settings.argv.IsValid());
  EXPECT_EQ(settings.argc, 0);
  EXPECT_EQ(settings.command_line, nullptr);
  EXPECT_EQ(settings.app_guid, kStableAppGuid);
  EXPECT_FALSE(settings.system_level);
  EXPECT_FALSE(settings.cleanup_mode);
  EXPECT_TRUE(settings.delete_unpacked_files);
  EXPECT_EQ(settings.previous_version, nullptr);
  settings.Reset();  // and once more from the destructor
  FreeLibrary(image);
}

TEST_F(CleanupValueTest, FailedLoadKeepsWhatWasReadBeforeTheSplit) {
  ScratchKey key(HKEY_CURRENT_USER, kCleanupKey);
  ASSERT_TRUE(key.created());
  ASSERT_EQ(key.SetRaw(L"KorvelInstallerCleanup", REG_SZ,
                       TextBytes(L"0", false)),
            0);
  LookupPatch patch("CommandLineToArgvW",
                    reinterpret_cast<void*>(&FailingCommandLineToArgv));
  ASSERT_TRUE(patch.applied());
  ImportPatch line("kernel32.dll", "GetCommandLineW",
                   reinterpret_cast<void*>(&LineWithArguments));
  ASSERT_TRUE(line.applied());
  InstallerSettings settings;
  const RunOutcome loaded = settings.Load(GetModuleHandleW(nullptr));
  const DWORD error = GetLastError();
  EXPECT_EQ(loaded.exit_code, static_cast<uint32_t>(ExitCode::SettingsFailed));
  EXPECT_EQ(loaded.windows_error,
            static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(settings.argv.IsValid());
  EXPECT_FALSE(settings.delete_unpacked_files);
}

class PreviousVersionTest : public ::testing::Test {
 protected:
  MachineVariable absent_{nullptr};
};

TEST_F(PreviousVersionTest, AcceptsOnlyWholeTerminatedTexts) {
  struct Case {
    const char* image;
    const wchar_t* expected;  // null: refused
  };
  const Case cases[] = {
      {"version", L"12.0.7"},    {"empty_text", L""},
      {"zero_bytes", nullptr},   {"odd_size", nullptr},
      {"unterminated", nullptr}, {"other_id", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    // Loaded as data, as a tool that examines an installer would; the
    // resource functions accept such a handle too.
    HMODULE image = LoadLibraryExW(
        ImagePath(c.image).c_str(), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << GetLastError();
    {
      InstallerSettings settings;
      ASSERT_TRUE(settings.Load(image).Succeeded());
      if (c.expected == nullptr) {
        EXPECT_EQ(settings.previous_version, nullptr);
      } else {
        ASSERT_NE(settings.previous_version, nullptr);
        EXPECT_EQ(std::wstring(settings.previous_version), c.expected);
      }
    }
    FreeLibrary(image);
  }
}

TEST_F(PreviousVersionTest, PointsIntoTheLoadedImage) {
  HMODULE image = LoadLibraryW(ImagePath("version").c_str());
  ASSERT_NE(image, nullptr) << GetLastError();
  InstallerSettings settings;
  ASSERT_TRUE(settings.Load(image).Succeeded());
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), RT_RCDATA);
  ASSERT_NE(resource, nullptr);
  EXPECT_EQ(settings.previous_version,
            LockResource(LoadResource(image, resource)));
  EXPECT_EQ(std::wstring(settings.previous_version), L"12.0.7");
  settings.Reset();
  EXPECT_EQ(settings.previous_version, nullptr);
  FreeLibrary(image);
}

}  // namespace
}  // namespace installer
