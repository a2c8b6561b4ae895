// Runs the product's setup program on the unpacked archive and waits for it;
// setup's exit code becomes the run's outcome.
#ifndef LAUNCH_INSTALL_SETUP_H_
#define LAUNCH_INSTALL_SETUP_H_

#include "support/held_file.h"
#include "support/installer_settings.h"
#include "support/run_outcome.h"

namespace installer {

// `archive_compressed` tells whether the archive came from resource type
// "B7". The line carries the setup path, the archive, the previous version
// when the stub has one, the stub's own arguments and, when the saved
// installer's file name gives one, the referral code. CommandLineTooLong
// when the setup path or a required piece does not fit; a failed start is
// SetupStartFileMissing, SetupStartPathMissing or SetupStartFailed (see
// LaunchAndAwait). Setup starts in `work_folder` (null: the stub's own current
// folder), not in the installer's, usually its Downloads folder, which is
// among the folders a program searches for the libraries it loads.
// `setup_hold`, the run's hold of the setup program, is let go once setup
// has ended (LaunchAndAwait).
RunOutcome RunInstallSetup(const InstallerSettings& settings,
                           const wchar_t* archive_path,
                           const wchar_t* setup_path, bool archive_compressed,
                           const wchar_t* work_folder = nullptr,
                           HeldFile* setup_hold = nullptr);

}  // namespace installer

#endif  // LAUNCH_INSTALL_SETUP_H_
