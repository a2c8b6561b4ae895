#include "launch/install_setup.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/installer_settings.h"
#include "testing/registry_scratch.h"
#include "testing/stand_in_setup/sha256.h"
#include "testing/stand_in_setup/stand_in_record.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::KeyExists;
using testing_support::ReadStandInRecord;
using testing_support::ScopedVariable;
using testing_support::ScratchFolder;
using testing_support::ScratchKey;
using testing_support::Sha256Hex;
using testing_support::StandInRun;
using testing_support::TextBytes;
using testing_support::Utf8;
using testing_support::TestFile;
using testing_support::WriteWholeFile;

const std::wstring kPromoKey = L"Software\\Quivra\\Promo";

// The stand-in as the unpacked setup program, an archive beside it, and a
// record of every setup run.
class InstallSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The saved-installer value is read at a fixed place; a test that wants
    // one sets it itself.
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kPromoKey));
    ASSERT_TRUE(CopyFileW(TestFile(STAND_IN_SETUP_EXE).c_str(),
                          setup_.c_str(), FALSE));
    WriteWholeFile(archive_, archive_bytes_);
  }

  RunOutcome Run(bool archive_compressed = true) {
    return RunInstallSetup(settings_, archive_.c_str(), setup_.c_str(),
                           archive_compressed);
  }

  // The command line of the only setup run so far.
  std::string OnlyCommandLine() {
    const std::vector<StandInRun> runs = ReadStandInRecord(record_);
    EXPECT_EQ(runs.size(), 1u);
    const std::string line =
        runs.empty() ? "<no run>" : runs[0]["command_line"];
    DeleteFileW(record_.c_str());
    return line;
  }

  // The start of every install line here.
  std::wstring Base(const wchar_t* archive_switch = L"install-archive") const {
    return L"\"" + setup_ + L"\" --" + archive_switch + L"=\"" + archive_ +
           L"\"";
  }

  ScratchFolder folder_{L"install"};
  const std::wstring setup_ = folder_.Child(L"setup.exe");
  const std::wstring archive_ = folder_.Child(L"KORVEL.PACKED.7Z");
  const std::string archive_bytes_ = "7z archive stand-in\x01\x02";
  const std::wstring record_ = folder_.Child(L"record.txt");
  ScopedVariable record_variable_{L"STAND_IN_SETUP_RECORD", record_};
  InstallerSettings settings_;
};

TEST_F(InstallSetupTest, CommandLineAsSetupReceivesIt) {
  struct Case {
    const char* label;
    bool archive_compressed;
    const wchar_t* previous_version;
    const wchar_t* stub_command_line;
    std::wstring tail;  // what follows the archive switch
  };
  const Case cases[] = {
      {"bare stub", true, nullptr, L"\"C:\\dl\\installer.exe\"", L""},
      {"uncompressed archive", false, nullptr, L"installer.exe", L""},
      {"empty previous version", true, L"", L"installer.exe",
       L" --previous-version=\"\""},
      {"previous version and arguments", false, L"71.0.3578.98",
       L"\"C:\\my dl\\installer.exe\" --system-level  --korvel-beta",
       L" --previous-version=\"71.0.3578.98\" --system-level  --korvel-beta"},
      {"tab after an unquoted name", true, nullptr,
       L"installer.exe\t--korvel-dev x", L"\t--korvel-dev x"},
      {"text right after the quote", true, nullptr,
       L"\"installer.exe\"--korvel-sxs", L" --korvel-sxs"},
      {"quote never closed", true, nullptr, L"\"installer.exe --cleanup", L""},
      {"quoted argument passed as it stands", true, nullptr,
       L"i.exe \"a b\" \\\"c\\\"", L" \"a b\" \\\"c\\\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    settings_.previous_version = c.previous_version;
    settings_.command_line = c.stub_command_line;
    const RunOutcome outcome = Run(c.archive_compressed);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(outcome.windows_error, 0u);
    const std::wstring archive_switch =
        c.archive_compressed ? L"install-archive" : L"uncompressed-archive";
    const std::vector<StandInRun> runs = ReadStandInRecord(record_);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["command_line"],
              Utf8(Base(archive_switch.c_str()) + c.tail));
    // Setup finds the archive that the switch names.
    const std::string key = Utf8(archive_switch);
    EXPECT_EQ(runs[0][key + ".path"], Utf8(archive_));
    EXPECT_EQ(runs[0][key + ".size"], std::to_string(archive_bytes_.size()));
    EXPECT_EQ(runs[0][key + ".sha256"], Sha256Hex(archive_bytes_));
    DeleteFileW(record_.c_str());
  }
}

TEST_F(InstallSetupTest, SetupExitCodeIsTheOutcome) {
  for (const uint32_t code : {0u, 3u, 112u, 0xC0000005u}) {
    ScopedVariable exit_code(L"STAND_IN_SETUP_EXIT_CODE",
                             std::to_wstring(code));
    const RunOutcome outcome = Run();
    EXPECT_EQ(outcome.exit_code, code);
    EXPECT_EQ(outcome.windows_error, 0u);
  }
}

TEST_F(InstallSetupTest, StartFailures) {
  const std::wstring missing_file = folder_.Child(L"gone.exe");
  const std::wstring missing_folder = folder_.Child(L"gone\\setup.exe");
  RunOutcome outcome =
      RunInstallSetup(settings_, archive_.c_str(), missing_file.c_str(), true);
  EXPECT_EQ(outcome.exit_code, 122u);
  EXPECT_EQ(outcome.windows_error, INVALID_FILE_ATTRIBUTES);
  outcome = RunInstallSetup(settings_, archive_.c_str(), missing_folder.c_str(),
                            true);
  EXPECT_EQ(outcome.exit_code, 123u);
  EXPECT_EQ(outcome.windows_error, INVALID_FILE_ATTRIBUTES);
}

TEST_F(InstallSetupTest, TooLongForItsBuffersStartsNothing) {
  // A setup path of 260 characters, and a version that overflows the line.
  const std::wstring long_setup(260, L's');
  RunOutcome outcome =
      RunInstallSetup(settings_, archive_.c_str(), long_setup.c_str(), true);
  EXPECT_EQ(outcome.exit_code, 105u);
  EXPECT_EQ(outcome.windows_error, 0u);
  const std::wstring long_version(1000, L'9');
  settings_.previous_version = long_version.c_str();
  outcome = Run();
  EXPECT_EQ(outcome.exit_code, 105u);
  EXPECT_EQ(outcome.windows_error, 0u);
  EXPECT_TRUE(ReadStandInRecord(record_).empty());
}

TEST_F(InstallSetupTest, StubArgumentsTooLongAreDroppedButTheCodeGoesOn) {
  ScratchKey promo(HKEY_CURRENT_USER, kPromoKey);
  ASSERT_TRUE(promo.created());
  promo.SetRaw(L"StubInstallerPath", REG_SZ,
               TextBytes(L"C:\\Downloads\\Installer-abc123.exe", true));
  const std::wstring referral = L" --telvo-referral-code=\"ABC123\"";
  const size_t room = 1039 - Base().size();
  ASSERT_GE(room, referral.size());
  for (const size_t length : {room - referral.size(), room + 1}) {
    const std::wstring arguments = L" --" + std::wstring(length - 3, L'a');
    const std::wstring stub_line = L"installer.exe" + arguments;
    settings_.command_line = stub_line.c_str();
    EXPECT_EQ(Run().exit_code, 0u);
    const bool fits = length + referral.size() <= room;
    EXPECT_EQ(OnlyCommandLine(),
              Utf8(Base() + (fits ? arguments : L"") + referral));
  }
}

TEST_F(InstallSetupTest, ReferralCodeFromTheSavedInstaller) {
  struct Case {
    const char* label;
    DWORD type;  // REG_NONE: no value at all
    std::string bytes;
    const wchar_t* switch_text;  // null: no switch
  };
  const std::wstring too_long =
      L"C:\\" + std::wstring(240, L'd') + L"\\Installer-abc123.exe";
  ASSERT_GE(too_long.size(), 260u);
  const Case cases[] = {
      {"counter in the name", REG_SZ,
       TextBytes(L"C:\\Downloads\\Installer-abc123 (1).exe", true),
       L" --telvo-referral-code=\"ABC123\""},
      {"hyphenated tail", REG_SZ,
       TextBytes(L"C:\\Downloads\\Installer-Acme-Summer.exe", true),
       L" --telvo-referral-code=\"Acme-Summer\""},
      {"stored without its terminator", REG_SZ,
       TextBytes(L"C:\\Downloads\\Installer-xyz789.exe", false),
       L" --telvo-referral-code=\"XYZ789\""},
      {"no value", REG_NONE, "", nullptr},
      {"name without a code", REG_SZ, TextBytes(L"C:\\dl\\setup.exe", true),
       nullptr},
      {"empty", REG_SZ, TextBytes(L"", true), nullptr},
      {"expandable text", REG_EXPAND_SZ,
       TextBytes(L"C:\\Downloads\\Installer-abc123.exe", true), nullptr},
      {"number", REG_DWORD, std::string(4, '\x01'), nullptr},
      {"longer than a path", REG_SZ, TextBytes(too_long, true), nullptr},
  };
  settings_.command_line = L"installer.exe --system-level";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchKey promo(HKEY_CURRENT_USER, kPromoKey);
    ASSERT_TRUE(promo.created());
    if (c.type != REG_NONE) {
      ASSERT_EQ(promo.SetRaw(L"StubInstallerPath", c.type, c.bytes),
                ERROR_SUCCESS);
    }
    // The value is per user also for a system-level run.
    for (const bool system_level : {false, true}) {
      settings_.system_level = system_level;
      const RunOutcome outcome = Run();
      EXPECT_EQ(outcome.exit_code, 0u)
          << "Windows error " << outcome.windows_error;
      EXPECT_EQ(OnlyCommandLine(), Utf8(Base() + L" --system-level" +
                                        (c.switch_text ? c.switch_text : L"")));
    }
  }
}

}  // namespace
}  // namespace installer
