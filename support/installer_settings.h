// What one run learns before it starts work: the release channel, whether
// the install is system-wide, whether it only cleans up, whether the
// unpacked files are removed at the end, the version it upgrades from, and
// the raw command line that setup receives again later.
#ifndef SUPPORT_INSTALLER_SETTINGS_H_
#define SUPPORT_INSTALLER_SETTINGS_H_

#include <windows.h>
#include <stdint.h>

#include "support/run_outcome.h"
#include "support/unique_resource.h"

namespace installer {

// The updater's application identifiers of the four release channels.
inline constexpr wchar_t kStableAppGuid[] =
    L"{5B1E0C27-8D4A-4F63-9A02-71C4E8D3B6F5}";
inline constexpr wchar_t kBetaAppGuid[] =
    L"{9E47A1D0-2C6B-4E85-B3F1-0A8D65C2F417}";
inline constexpr wchar_t kDevAppGuid[] =
    L"{3F82D6B4-71E0-4A9C-8D25-C6B09E14A7D3}";
inline constexpr wchar_t kSideBySideAppGuid[] =
    L"{E1C93A58-0B7D-4D26-95AF-4B8F2E6D1C09}";

// Filled once at the start of a run and only read afterwards. Owns the
// argument vector, so it is never copied.
struct InstallerSettings {
  InstallerSettings();
  InstallerSettings(const InstallerSettings&) = delete;
  InstallerSettings& operator=(const InstallerSettings&) = delete;

  // Reads, in order: the previous-version resource of `module`, the
  // per-user cleanup value, the process command line and the environment.
  // Fails only when the command line cannot be split: SettingsFailed with
  // the error of that split, which the thread's last error still holds.
  RunOutcome Load(HMODULE module);
  // Splits `command_line` (kept, not copied), applies the switches, then
  // consults "QuivraUpdateIsMachine" unless "--system-level" was given.
  bool ParseCommandLine(const wchar_t* command_line);
  // Frees the argument vector and restores every default.
  void Reset();

  UniqueLocalMemory<wchar_t*> argv;
  const wchar_t* app_guid = kStableAppGuid;
  const wchar_t* command_line = nullptr;
  int32_t argc = 0;
  bool system_level = false;
  bool cleanup_mode = false;
  bool delete_unpacked_files = true;
  // Points into the module's own resource data; never copied or freed.
  const wchar_t* previous_version = nullptr;
};

}  // namespace installer

#endif  // SUPPORT_INSTALLER_SETTINGS_H_
