#include "support/installer_settings.h"

#include "support/bounded_string.h"
#include "support/program_name.h"
#include "support/registry_key.h"

namespace installer {

namespace {

constexpr wchar_t kCleanupKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Telvo";
constexpr wchar_t kCleanupValue[] = L"KorvelInstallerCleanup";
constexpr wchar_t kMachineVariable[] = L"QuivraUpdateIsMachine";

// The version text this payload upgrades from, when the image carries one as
// RT_RCDATA 1: a non-empty, whole number of UTF-16 units ending in a zero.
const wchar_t* FindPreviousVersion(HMODULE module) {
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_RCDATA);
  if (resource == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return nullptr;
  const DWORD size = SizeofResource(module, resource);
  if (size == 0 || size % sizeof(wchar_t) != 0) return nullptr;
  const auto* text = static_cast<const wchar_t*>(LockResource(loaded));
  if (text == nullptr || text[size / sizeof(wchar_t) - 1] != 0) return nullptr;
  return text;
}

// Removal is switched off only by the exact text "0".
bool CleanupSwitchedOff() {
  BoundedWideString<kFlagTextCapacity> flag;
  FillBytes(flag.units, 0, sizeof(flag.units));
  return ReadRegistryTextOnce(HKEY_CURRENT_USER, kCleanupKey, kCleanupValue,
                              flag.data(), flag.kCapacity) &&
         flag.units[0] == L'0';
}

// Exactly "1": a longer value makes the call report the room it needs, an
// empty or absent one makes it return 0.
bool MachineVariableSet() {
  BoundedWideString<kFlagTextCapacity> value;
  FillBytes(value.units, 0, sizeof(value.units));
  const DWORD length = GetEnvironmentVariableW(
      kMachineVariable, value.data(), static_cast<DWORD>(value.kCapacity));
  return length == 1 && value.units[0] == L'1';
}

using CommandLineToArgvFunction = wchar_t** WINAPI(const wchar_t* line,
                                                   int* count);

// The platform's split, from shell32 in the system folder. Loaded only for
// a line that holds arguments, which most runs (started from a download)
// lack: shell32 and what it loads cost every start some tens of
// milliseconds. Null with the last error set when it cannot be had.
CommandLineToArgvFunction* LoadArgumentSplit() {
  PathString path;
  const UINT length =
      GetSystemDirectoryW(path.data(), static_cast<UINT>(kPathCapacity));
  if (length == 0) return nullptr;
  if (length >= kPathCapacity || !path.Append(L"\\shell32.dll")) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nullptr;
  }
  const HMODULE shell =
      LoadLibraryExW(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (shell == nullptr) return nullptr;
  // Through void*: the loader hands out every export as one pointer type.
  return reinterpret_cast<CommandLineToArgvFunction*>(
      reinterpret_cast<void*>(GetProcAddress(shell, "CommandLineToArgvW")));
}

}  // namespace

InstallerSettings::InstallerSettings() = default;

RunOutcome InstallerSettings::Load(HMODULE module) {
  Reset();
  previous_version = FindPreviousVersion(module);
  delete_unpacked_files = !CleanupSwitchedOff();
  if (!ParseCommandLine(GetCommandLineW())) {
    return MakeOutcome(ExitCode::SettingsFailed, GetLastError());
  }
  return kSuccessOutcome;
}

bool InstallerSettings::ParseCommandLine(const wchar_t* line) {
  // Only a second parse without Reset finds a vector here; it must not leak.
  argv.Reset();
  command_line = line;
  if (!HasArguments(command_line)) {
    // Only the program's own path: nothing to split.
    argc = 1;
  } else {
    CommandLineToArgvFunction* const split = LoadArgumentSplit();
    if (split == nullptr) return false;
    int count = 0;
    argv.Reset(split(command_line, &count));
    // The split's error stays the thread's last error for the caller.
    if (!argv.IsValid()) return false;
    argc = count;
  }
  // The first entry is the program's own path, never a switch.
  for (int32_t i = 1; i < argc; ++i) {
    const wchar_t* argument = argv.get()[i];
    if (lstrcmpiW(argument, L"--system-level") == 0) {
      system_level = true;
    } else if (lstrcmpiW(argument, L"--korvel-beta") == 0) {
      app_guid = kBetaAppGuid;
    } else if (lstrcmpiW(argument, L"--korvel-dev") == 0) {
      app_guid = kDevAppGuid;
    } else if (lstrcmpiW(argument, L"--korvel-sxs") == 0) {
      app_guid = kSideBySideAppGuid;
    } else if (lstrcmpiW(argument, L"--cleanup") == 0 ||
               lstrcmpiW(argument, L"--korvel-frame") == 0) {
      cleanup_mode = true;
    }
  }
  if (!system_level) system_level = MachineVariableSet();
  return true;
}

void InstallerSettings::Reset() {
  argv.Reset();
  app_guid = kStableAppGuid;
  command_line = nullptr;
  argc = 0;
  system_level = false;
  cleanup_mode = false;
  delete_unpacked_files = true;
  previous_version = nullptr;
}

}  // namespace installer
