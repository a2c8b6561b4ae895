#include "launch/installed_setup.h"

#include <stdint.h>
#include <windows.h>

#include "launch/setup_command_line.h"
#include "support/bounded_string.h"
#include "support/client_state.h"
#include "support/registry_key.h"
#include "support/run_outcome.h"

namespace installer {

RunOutcome LocateInstalledSetup(bool system_level, const wchar_t* app_guid,
                                const wchar_t* expected, wchar_t* buffer,
                                uint64_t capacity) {
  RegistryKey key;
  uint32_t status = OpenClientStateKey(ClientStateRoot(system_level), app_guid,
                                       KEY_QUERY_VALUE, &key);
  if (status != 0) {
    return MakeOutcome(ExitCode::InstalledSetupNotFound, status);
  }
  status = key.ReadText(L"UninstallString", buffer, capacity);
  if (status != 0) {
    return MakeOutcome(ExitCode::InstalledSetupNotFound, status);
  }
  // The product's registered path carries its version: a value without the
  // version this payload upgrades from belongs to another install.
  if (FindNoCase(buffer, expected) == nullptr) {
    return MakeOutcome(ExitCode::PreviousVersionMismatch);
  }
  UnquoteInstalledSetupPath(buffer, capacity);
  return kSuccessOutcome;
}

}  // namespace installer
