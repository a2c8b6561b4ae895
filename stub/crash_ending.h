// How a run that crashes still ends like a failed stage: an exception that
// nothing in the process handles (a fault in the cabinet library, in one of
// the stub's callbacks, on a page of the image that can no longer be read)
// records the crash, removes what the run unpacked and ends the process with
// its own exit code, instead of leaving the work folder behind and, on
// Windows, a fault dialog on a program that never opens a window.
#ifndef STUB_CRASH_ENDING_H_
#define STUB_CRASH_ENDING_H_

#include <windows.h>

#include "stub/run_state.h"
#include "support/installer_settings.h"

namespace installer {

// Holds stack in reserve on the calling thread for the crash ending after a
// stack overflow, which otherwise leaves the thread no stack to run the
// filter on: the process would die with the work folder in place and no
// record. 32 KiB: the record, the removals and the system's own exception
// dispatch, with room to spare.
void ReserveCrashEndingStack();

// Makes EndCrashedRun the process's last-chance exception filter. The
// filter runs only for exceptions that no handler on the stack took:
// an exception that a library raises and handles itself never reaches it.
void InstallCrashEnding();

// The run that a crash ends, run by the calling thread; null for none
// (before the run and after it, when the frame that holds these is gone).
// A fault on any other thread meanwhile leaves the run to that thread.
void WatchRunForCrash(const InstallerSettings* settings, RunState* run);

// The part of a crash's ending that the release tools share with the stub:
// lets go of whatever the cabinet library held, then, when `remove_files`
// is set, `run` has made its work folder and no program that it started is
// still running (that one may still need them), lets go of the run's holds
// and removes what `run` made and the folder, by the same rules as the
// run's own removal: only what the run made and what is still that. `run`
// may be null.
void ReleaseCrashedRun(RunState* run, bool remove_files);

}  // namespace installer

#endif  // STUB_CRASH_ENDING_H_
