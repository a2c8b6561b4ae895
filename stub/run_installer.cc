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

// The installer's own file and its folder, with its trailing backslash. A
// path that does not fit, cannot be read or has no folder part ends the run
// before anything is created: it is reported as PathTooLong, with the error
// that GetModuleFileNameW left.
RunOutcome FindModuleFolder(HMODULE module, PathString* module_path,
                            PathString* module_folder) {
  const DWORD length = GetModuleFileNameW(module, module_path->data(),
                                          static_cast<DWORD>(kPathCapacity));
  const uint32_t error = GetLastError();
  if (length == 0 || length >= kPathCapacity) {
    return MakeOutcome(ExitCode::PathTooLong, error);
  }
  const wchar_t* name = AfterLastBackslash(module_path->data(), length);
  if (name == module_path->data()) return MakeOutcome(ExitCode::PathTooLong);
  module_folder->Copy(module_path->data());
  module_folder->data()[name - module_path->data()] = 0;
  return kSuccessOutcome;
}

// Every stage before the payload: the settings, the work folder and the
// channel's marking. Its endings record nothing and remove nothing.
RunOutcome PrepareRun(HMODULE module, InstallerSettings* settings,
                      RunState* run) {
  PathString module_path;
  const RunOutcome located =
      FindModuleFolder(module, &module_path, &run->module_folder);
  // Held from the first moment, shared for reading only: whoever may rename
  // files beside the installer can no longer take its file away from here
  // on. Whether it is the file this image was mapped from is proven before
  // any byte of it is used; without it the payload comes from the pages.
  if (located.Succeeded()) run->image.Open(module, module_path.data());

  const RunOutcome loaded = settings->Load(module);
  if (!loaded.Succeeded()) return loaded;
  // The previous version is read in place from the resources, which stay
  // mapped from the installer file, and used again once setup has run.
  if (settings->previous_version != nullptr) {
    DetachRangeFromFile(
        settings->previous_version,
        (static_cast<uint64_t>(lstrlenW(settings->previous_version)) + 1) *
            sizeof(wchar_t));
  }
  if (settings->cleanup_mode) return MakeOutcome(ExitCode::CleanupModeExit);
  if (!located.Succeeded()) return located;
  const RunOutcome made = CreateWorkFolder(
      run->module_folder.data(), &run->work_folder, &run->work_folder_hold);
  if (!made.Succeeded()) return made;
  run->work_folder_made = true;
  EnsureFullTag(*settings);
  return kSuccessOutcome;
}

RunOutcome LaunchSetup(const InstallerSettings& settings, RunState* run) {
  return RunInstallSetup(settings, run->archive_path.data(),
                         run->setup_path.data(),
                         IsTag(run->archive_type, kPatchOrArchiveType),
                         run->work_folder.data(), &run->setup_hold);
}

// The plain and the cabinet road: the setup program was unpacked as it is,
// or expanded from its cabinet while unpacking, and runs.
RunOutcome RunSetupRoad(const InstallerSettings& settings, RunState* run) {
  TrimWorkingSet();
  return LaunchSetup(settings, run);
}

// The setup program that the installed one built from the patch, held
// from here until it is started as the run's own. Not there: the start
// says so (SetupStartFileMissing or SetupStartPathMissing). Anything but a
// plain file (a link, a folder) is not started at all.
RunOutcome HoldNewSetup(RunState* run) {
  if (HoldFoundFile(run->work_folder_hold.handle.get(), kSetupProgramName,
                    &run->setup_hold)) {
    return kSuccessOutcome;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return kSuccessOutcome;
  }
  return MakeOutcome(ExitCode::SetupStartFailed, error);
}

// The self-update road: the setup resource is a patch, from which the
// installed setup program builds the new setup program beside the archive;
// that one then runs as on the other roads.
RunOutcome RunSelfUpdateRoad(const InstallerSettings& settings,
                             RunState* run) {
  // Always fits: the work folder's path leaves room for the setup program's
  // name and its terminator after its backslash (CreateWorkFolder).
  static_assert(kLongestWorkFolderPath + 1 +
                    sizeof(kSetupProgramName) / sizeof(wchar_t) <=
                kPathCapacity);
  PathString new_setup_path;
  JoinPath(run->work_folder.data(), kSetupProgramName, &new_setup_path);
  const RunOutcome updated = RunSetupSelfUpdate(
      settings, run->setup_path.data(), new_setup_path.data(),
      &run->max_delete_attempts, run->work_folder.data(), &run->setup_hold);
  TrimWorkingSet();
  if (!updated.Succeeded()) {
    // The patch may still be there; it stays, and so does the folder.
    run->setup_path.Clear();
    return updated;
  }
  run->setup_path.Copy(new_setup_path.data());
  const RunOutcome held = HoldNewSetup(run);
  if (!held.Succeeded()) return held;
  return LaunchSetup(settings, run);
}

// Every stage but the settings' release, which RunInstaller leaves to the
// end of every road. The first stage that fails decides the outcome; from
// the work folder on, what was unpacked is removed and the outcome recorded
// whatever the road.
RunOutcome RunStages(HMODULE module, InstallerSettings* settings,
                     RunState* run) {
  const RunOutcome prepared = PrepareRun(module, settings, run);
  if (!prepared.Succeeded()) return prepared;

  RunOutcome outcome = UnpackPayload(
      module, &run->image, run->work_folder.data(),
      run->work_folder_hold.handle.get(), &run->setup_path, &run->setup_type,
      &run->archive_path, &run->archive_type, &run->max_delete_attempts,
      &run->archive_hold, &run->setup_hold, &run->expanded_hold);
  // A failed copy leaves the installer file open too: it is let go here,
  // before setup runs or the failure is recorded, whatever unpacking gave.
  run->image.Close();
  if (!outcome.Succeeded()) {
    // Nothing to run; what was unpacked is still removed below.
    TrimWorkingSet();
  } else if (IsTag(run->setup_type, kPatchOrArchiveType)) {
    outcome = RunSelfUpdateRoad(*settings, run);
  } else {
    outcome = RunSetupRoad(*settings, run);
  }

  if (settings->delete_unpacked_files) {
    RemoveUnpackedFiles(run->archive_path.data(), run->setup_path.data(),
                        run->work_folder.data(), &run->max_delete_attempts,
                        &run->archive_hold, &run->setup_hold,
                        &run->work_folder_hold);
  }
  WriteRunRecord(*settings, outcome, run->max_delete_attempts);
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

void WriteRunRecord(const InstallerSettings& settings, RunOutcome outcome,
                    int32_t max_delete_attempts) {
  if (!outcome.Succeeded()) {
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
}

RunOutcome RunInstaller(HMODULE module) {
  InstallerSettings settings;
  // The holds of a folder that stays (its files kept, or a road that skips
  // the removal) go with the run's state as the run ends.
  RunState run;
  // A crash anywhere in the stages ends the run as a failed stage would.
  WatchRunForCrash(&settings, &run);
  const RunOutcome outcome = RunStages(module, &settings, &run);
  WatchRunForCrash(nullptr, nullptr);
  return outcome;
}

}  // namespace installer
