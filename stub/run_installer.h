// One run of the installer, from reading the settings to the last registry
// record: the fixed order of stages, the roads through them (unpacking
// failed; setup unpacked as it is or expanded from its cabinet; setup
// self-update first) and the outcome that ends the process.
#ifndef STUB_RUN_INSTALLER_H_
#define STUB_RUN_INSTALLER_H_

#include <windows.h>
#include <stdint.h>

#include "support/installer_settings.h"
#include "support/run_outcome.h"

namespace installer {

// `module` is the installer's own image: its file path locates the work
// folder and its resources carry the payload. The first stage that fails
// decides the outcome; a run whose setup ran ends with setup's exit code.
RunOutcome RunInstaller(HMODULE module);

// The "InstallerExtraCode1" value of a successful run: 0x30000 plus the
// extra attempts the slowest removal needed.
uint32_t SuccessRecordValue(int32_t max_delete_attempts);

// The record that ends a run whose work folder exists: the success record
// with `max_delete_attempts`, or the failure report of `outcome`.
void WriteRunRecord(const InstallerSettings& settings, RunOutcome outcome,
                    int32_t max_delete_attempts);

}  // namespace installer

#endif  // STUB_RUN_INSTALLER_H_
