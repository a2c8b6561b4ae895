// Finds the installed product's setup program through the value
// "UninstallString" of the updater's client-state key of a channel.
#ifndef LAUNCH_INSTALLED_SETUP_H_
#define LAUNCH_INSTALLED_SETUP_H_

#include <stdint.h>

#include "support/run_outcome.h"

namespace installer {

// On (0, 0) `buffer` holds the installed setup path, with enclosing quotes
// removed. InstalledSetupNotFound with the registry's status when the key
// cannot be opened or the value cannot be read whole as REG_SZ into
// `capacity` units; PreviousVersionMismatch when the value does not contain
// `expected` (ASCII case folded; null or empty matches anything). Only reads
// the registry.
RunOutcome LocateInstalledSetup(bool system_level, const wchar_t* app_guid,
                                const wchar_t* expected, wchar_t* buffer,
                                uint64_t capacity);

}  // namespace installer

#endif  // LAUNCH_INSTALLED_SETUP_H_
