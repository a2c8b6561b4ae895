#include "stub/run_installer.h"

#include <windows.h>
#include <stdint.h>

#include "cleanup/remove_with_retries.h"
#include "launch/install_setup.h"
#include "launch/setup_self_update.h"
#include "stub/crash_ending.h"
#include "stub/image_pages.h"
#include "stub/run_state.h"
#include "support/bounded_string.h"
#include "support/client_state.h"
#include "support/installer_settings.h"
#include "support/registry_key.h"
#include "support/run_outcome.h"
#include "unpack/unpack_payload.h"
#include "unpack/work_folder.h"

namespace installer {
namespace {

bool IsTag(const TypeTagString& tag, const wchar_t* expected) {
  return lstrcmpW(tag.data(), expected) == 0;
}

// Gives the memory that unpacking touched back before setup runs, so that a
// large payload does not stay resident for the whole install. Done once per
// run, and never before unpacking has been attempted.
void TrimWorkingSet() {
  SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                           static_cast<SIZE_T>(-1));
}

// The installer's own executable and its folder, with its trailing
// backslash. A path that does not fit, cannot be read or has no folder part
// ends the run before anything is created: it is reported as a path that is
// too long, with the error that GetModuleFileNameW left.
bool FindModuleFolder(HMODULE module, PathString* module_path,
                      PathString* module_folder, RunOutcome* outcome) {
  const DWORD length = GetModuleFileNameW(
      module, module_folder->data(), static_cast<DWORD>(kPathCapacity));
  const uint32_t error = GetLastError();
  if (length == 0 || length >= kPathCapacity) {
    module_folder->Clear();
    *outcome = MakeOutcome(ExitCode::PathTooLong, error);
    return false;
  }
  wchar_t* name = AfterLastBackslash(module_folder->data(), length);
  if (name == module_folder->data()) {
    module_folder->Clear();
    *outcome = MakeOutcome(ExitCode::PathTooLong);
    return false;
  }
  module_path->Copy(module_folder->data());
  *name = 0;
  return true;
}

RunOutcome LaunchSetup(const InstallerSettings& settings, RunState* run) {
  return RunInstallSetup(settings, run->archive_path.data(),
                         run->setup_path.data(),
                         IsTag(run->archive_type, kPatchOrArchiveType),
                         run->work_folder.data(), &run->setup_hold);
}

// The setup program that the installed one built from the patch, held
// from here until it is started as the run's own. Not there: the start
// says so (122 or 123). Anything but a plain file (a link, a folder) is
// not started at all.
RunOutcome HoldNewSetup(RunState* run) {
  if (HoldFoundFile(run->work_folder_hold.handle, kSetupProgramName,
                    &run->setup_hold)) {
    return kSuccessOutcome;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return kSuccessOutcome;
  }
  return MakeOutcome(ExitCode::SetupStartFailed, error);
}

// The holds of a run, let go as it ends, whatever road it took.
void ReleaseHolds(RunState* run) {
  run->archive_hold.Release();
  run->setup_hold.Release();
  run->expanded_hold.Release();
  run->work_folder_hold.Release();
}

// Every stage but the final reset of the settings, which RunInstaller does on
// every road. Returns at the first ending that skips the remaining stages.
RunOutcome RunStages(HMODULE module, InstallerSettings* settings,
                     RunState* run) {
  RunOutcome outcome = kSuccessOutcome;

  // Held from the first moment, shared for reading only: whoever may rename
  // files beside the installer can no longer take its file away from here
  // on. Whether it is the file this image was mapped from is proven before
  // any byte of it is used; without it the payload comes from the pages.
  {
    PathString path;
    const DWORD length = GetModuleFileNameW(
        module, path.data(), static_cast<DWORD>(kPathCapacity));
    if (length != 0 && length < kPathCapacity) {
      run->image.Open(module, path.data());
    }
  }

  if (!settings->Load(module)) {
    return MakeOutcome(ExitCode::SettingsFailed, GetLastError());
  }
  // The previous version is read in place from the resources, which stay
  // mapped from the installer file, and used again once setup has run.
  if (settings->previous_version != nullptr) {
    DetachRangeFromFile(
        settings->previous_version,
        (static_cast<uint64_t>(lstrlenW(settings->previous_version)) + 1) *
            sizeof(wchar_t));
  }
  if (settings->cleanup_mode) {
    return MakeOutcome(ExitCode::CleanupModeExit);
  }
  if (!FindModuleFolder(module, &run->module_path, &run->module_folder,
                        &outcome)) {
    return outcome;
  }
  if (!CreateWorkFolder(run->module_folder.data(), &run->work_folder,
                        &outcome, &run->work_folder_hold)) {
    return outcome;
  }
  run->work_folder_made = true;
  EnsureFullTag(*settings);

  run->max_delete_attempts = 0;
  run->setup_path.Clear();
  run->setup_type.Clear();
  run->archive_path.Clear();
  run->archive_type.Clear();
  const RunOutcome unpacked = UnpackPayload(
      module, &run->image, run->work_folder.data(),
      run->work_folder_hold.handle, &run->setup_path, &run->setup_type,
      &run->archive_path, &run->archive_type, &run->max_delete_attempts,
      &run->archive_hold, &run->setup_hold, &run->expanded_hold);
  // A failed copy leaves the installer file open too: it is let go here,
  // before setup runs or the failure is recorded, whatever unpacking gave.
  run->image.Close();

  if (!unpacked.Succeeded()) {
    // Road a: nothing to run; what was unpacked is still removed below.
    TrimWorkingSet();
    outcome = unpacked;
    run->succeeded = false;
  } else if (!IsTag(run->setup_type, kPatchOrArchiveType)) {
    // Road b: the setup program was unpacked as it is.
    TrimWorkingSet();
    outcome = LaunchSetup(*settings, run);
    run->succeeded = outcome.Succeeded();
  } else {
    // Road c: the setup resource is a patch; the installed setup program
    // builds the new one beside the archive first.
    if (!run->new_setup_path.Copy(run->work_folder.data()) ||
        !run->new_setup_path.Append(kSetupProgramName)) {
      return MakeOutcome(ExitCode::PathTooLong);
    }
    const RunOutcome updated = RunSetupSelfUpdate(
        *settings, run->setup_path.data(), run->new_setup_path.data(),
        &run->max_delete_attempts, run->work_folder.data(), &run->setup_hold);
    if (!updated.Succeeded()) {
      // The patch may still be there; it stays, and so does the folder.
      run->setup_path.Clear();
    } else {
      run->setup_path.Copy(run->new_setup_path.data());
    }
    TrimWorkingSet();
    const RunOutcome held =
        updated.Succeeded() ? HoldNewSetup(run) : kSuccessOutcome;
    if (!updated.Succeeded()) {
      outcome = updated;
      run->succeeded = false;
    } else if (!held.Succeeded()) {
      outcome = held;
      run->succeeded = false;
    } else {
      outcome = LaunchSetup(*settings, run);
      run->succeeded = outcome.Succeeded();
    }
  }

  if (settings->delete_unpacked_files) {
    RemoveUnpackedFiles(run->archive_path.data(), run->setup_path.data(),
                        run->work_folder.data(), &run->max_delete_attempts,
                        &run->archive_hold, &run->setup_hold,
                        &run->work_folder_hold);
  }

  WriteRunRecord(*settings, run->succeeded, outcome, run->max_delete_attempts);
  return outcome;
}

}  // namespace

uint32_t SuccessRecordValue(int32_t max_delete_attempts) {
  constexpr uint32_t kSuccessRecordBase = 0x30000;
  if (max_delete_attempts < 2) return kSuccessRecordBase;
  const uint32_t extra_attempts =
      static_cast<uint32_t>(max_delete_attempts - 1) & 0xFFFF;
  return kSuccessRecordBase + extra_attempts;
}

void WriteRunRecord(const InstallerSettings& settings, bool succeeded,
                    RunOutcome outcome, int32_t max_delete_attempts) {
  if (!succeeded) {
    WriteInstallerFailure(settings, outcome);
    return;
  }
  RegistryKey key;
  if (OpenClientStateKey(ClientStateRoot(settings.system_level),
                         settings.app_guid, KEY_QUERY_VALUE | KEY_SET_VALUE,
                         &key) == ERROR_SUCCESS) {
    key.WriteNumber(L"InstallerExtraCode1",
                    SuccessRecordValue(max_delete_attempts));
  }
  key.Close();
}

RunOutcome RunInstaller(HMODULE module) {
  InstallerSettings settings;
  RunState run;
  // A crash anywhere in the stages ends the run as a failed stage would.
  WatchRunForCrash(&settings, &run);
  const RunOutcome outcome = RunStages(module, &settings, &run);
  WatchRunForCrash(nullptr, nullptr);
  // A folder that stays (its files kept, or a road that skips the removal)
  // is let go as the run ends, and so are its files.
  ReleaseHolds(&run);
  settings.Reset();
  return outcome;
}

}  // namespace installer
