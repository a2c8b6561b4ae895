// The updater's per-application client-state key, and the two records the
// stub keeps there itself: the "-full" marking of the channel tag "ap" at the
// start of a run and the failure report at its end. The key belongs to the
// updater; if it does not exist nothing is read or written, and neither
// record ever changes a run's outcome.
#ifndef SUPPORT_CLIENT_STATE_H_
#define SUPPORT_CLIENT_STATE_H_

#include <windows.h>
#include <stdint.h>

#include "support/installer_settings.h"
#include "support/registry_key.h"
#include "support/run_outcome.h"

namespace installer {

// HKEY_LOCAL_MACHINE for a system-level run, HKEY_CURRENT_USER otherwise.
HKEY ClientStateRoot(bool system_level);

// Opens "Software\Quivra\Update\ClientState\" + `app_guid` under `root` in
// the 32-bit view with `access`. ERROR_BUFFER_OVERFLOW, with `key` left as
// it was, when the path does not fit 260 units.
uint32_t OpenClientStateKey(HKEY root, const wchar_t* app_guid, REGSAM access,
                            RegistryKey* key);

// Appends "-full" to the channel tag unless it already ends so, cannot be
// read as a REG_SZ, or would not fit 128 units with it.
void EnsureFullTag(const InstallerSettings& settings);

// Records a failed run's outcome unless a non-zero "InstallerResult" is
// already there.
void WriteInstallerFailure(const InstallerSettings& settings,
                           RunOutcome outcome);

}  // namespace installer

#endif  // SUPPORT_CLIENT_STATE_H_
