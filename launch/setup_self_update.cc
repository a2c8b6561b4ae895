#include "launch/setup_self_update.h"

#include <stdint.h>

#include "cleanup/remove_with_retries.h"
#include "launch/installed_setup.h"
#include "launch/launch_and_await.h"
#include "launch/setup_command_line.h"
#include "launch/stub_arguments.h"
#include "support/bounded_string.h"
#include "support/elevation.h"
#include "support/installer_settings.h"
#include "support/run_outcome.h"

namespace installer {

RunOutcome RunSetupSelfUpdate(const InstallerSettings& settings,
                              const wchar_t* patch_path,
                              const wchar_t* new_setup_path,
                              int32_t* max_delete_attempts,
                              const wchar_t* work_folder,
                              HeldFile* patch_hold) {
  PathString installed_setup_path;
  const RunOutcome located = LocateInstalledSetup(
      settings.system_level, settings.app_guid, settings.previous_version,
      installed_setup_path.data(), kPathCapacity);
  if (!located.Succeeded()) return located;

  CommandLineString line;
  if (!BuildSelfUpdateCommandLine(installed_setup_path.data(), patch_path,
                                  new_setup_path, &line)) {
    return MakeOutcome(ExitCode::CommandLineTooLong);
  }
  AppendStubArguments(settings.command_line, &line);

  // A per-user run finds the installed setup program through a value under
  // HKEY_CURRENT_USER, at a path in the user's own folders: both are the
  // user's to change, by any program of theirs. An elevated run would start
  // whatever they name with its rights, so it starts none: the start is
  // refused as one that failed. A system-level run reads HKEY_LOCAL_MACHINE,
  // which only administrators write.
  const RunOutcome outcome =
      !settings.system_level && RunsElevated()
          ? MakeOutcome(ExitCode::SelfUpdateStartFailed, ERROR_ACCESS_DENIED)
          : LaunchAndAwait(
                installed_setup_path.data(), line.data(),
                static_cast<uint32_t>(ExitCode::SelfUpdateStartFileMissing),
                static_cast<uint32_t>(ExitCode::SelfUpdateStartPathMissing),
                static_cast<uint32_t>(ExitCode::SelfUpdateStartFailed),
                work_folder);

  // Whatever the installed setup did with it, the patch has served its
  // purpose once a launch was tried.
  int32_t attempts = 0;
  const FileIdentity* patch = nullptr;
  if (patch_hold != nullptr) {
    patch_hold->Release();
    patch = &patch_hold->identity;
  }
  RemoveWithRetries(patch_path, &attempts, patch);
  FoldAttemptCount(attempts, max_delete_attempts);
  return outcome;
}

}  // namespace installer
