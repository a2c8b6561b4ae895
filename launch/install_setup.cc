#include "launch/install_setup.h"

#include <windows.h>

#include "launch/launch_and_await.h"
#include "launch/referral_code.h"
#include "launch/setup_command_line.h"
#include "launch/stub_arguments.h"
#include "support/bounded_string.h"
#include "support/installer_settings.h"
#include "support/registry_key.h"
#include "support/run_outcome.h"

namespace installer {

namespace {

// Best effort throughout: a missing or unusable saved-installer path only
// means that setup gets no referral switch. The value is per user even for
// a system-level run, because whoever saved the installer saved it there.
void AppendSavedInstallerReferral(CommandLineString* line) {
  wchar_t read_buffer[kPathCapacity];
  FillBytes(read_buffer, 0, sizeof(read_buffer));
  if (!ReadRegistryTextOnce(HKEY_CURRENT_USER, L"Software\\Quivra\\Promo",
                            L"StubInstallerPath", read_buffer, kPathCapacity)) {
    return;
  }
  PathString saved_installer_path;
  if (!saved_installer_path.Copy(read_buffer) ||
      saved_installer_path.Length() == 0) {
    return;
  }
  ShortString referral_code;
  referral_code.Clear();
  if (!DeriveReferralCode(saved_installer_path.data(), &referral_code)) return;
  AppendReferralSwitch(referral_code.data(), line);
}

}  // namespace

RunOutcome RunInstallSetup(const InstallerSettings& settings,
                           const wchar_t* archive_path,
                           const wchar_t* setup_path, bool archive_compressed,
                           const wchar_t* work_folder,
                           HeldFile* setup_hold) {
  PathString program;
  if (!program.Copy(setup_path)) {
    return MakeOutcome(ExitCode::CommandLineTooLong);
  }
  CommandLineString install_command_line;
  if (!BuildInstallCommandLine(program.data(), archive_path, archive_compressed,
                               settings.previous_version,
                               &install_command_line)) {
    return MakeOutcome(ExitCode::CommandLineTooLong);
  }
  AppendStubArguments(settings.command_line, &install_command_line);
  AppendSavedInstallerReferral(&install_command_line);
  return LaunchAndAwait(program.data(), install_command_line.data(),
                        static_cast<uint32_t>(ExitCode::SetupStartFileMissing),
                        static_cast<uint32_t>(ExitCode::SetupStartPathMissing),
                        static_cast<uint32_t>(ExitCode::SetupStartFailed),
                        work_folder, setup_hold);
}

}  // namespace installer
