// Hands a setup patch from the payload to the installed product's setup
// program, which builds the new setup program from it. The stub never
// applies the patch itself.
#ifndef LAUNCH_SETUP_SELF_UPDATE_H_
#define LAUNCH_SETUP_SELF_UPDATE_H_

#include <stdint.h>

#include "support/held_file.h"
#include "support/installer_settings.h"
#include "support/run_outcome.h"

namespace installer {

// Returns the installed setup's exit code (0: the new setup program is at
// `new_setup_path`), or InstalledSetupNotFound or PreviousVersionMismatch when
// it cannot be located, CommandLineTooLong when the line does not fit,
// SelfUpdateStartFileMissing, SelfUpdateStartPathMissing or
// SelfUpdateStartFailed when it cannot be started, ProcessWaitFailed when the
// wait fails. An elevated run that is not system-level starts no installed
// setup program, which it would find through the user's own registry values at
// a path the user can write: (SelfUpdateStartFailed, ERROR_ACCESS_DENIED), as a
// start that failed. The patch is deleted after every launch attempt, and the
// attempt count of that deletion is folded into `max_delete_attempts`; an
// outcome from before the launch leaves the patch in place. The installed setup
// program starts in `work_folder` (null: the stub's own current folder).
// `patch_hold`, the run's hold of the patch, is let go after the launch, and
// the patch is then removed only while it is still the file it names.
RunOutcome RunSetupSelfUpdate(const InstallerSettings& settings,
                              const wchar_t* patch_path,
                              const wchar_t* new_setup_path,
                              int32_t* max_delete_attempts,
                              const wchar_t* work_folder = nullptr,
                              HeldFile* patch_hold = nullptr);

}  // namespace installer

#endif  // LAUNCH_SETUP_SELF_UPDATE_H_
