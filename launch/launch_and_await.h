// Runs one program to its end: started without a window, with the stub's
// own environment, in the current folder it is given and with no inherited
// handles, and waited for without a time-out.
#ifndef LAUNCH_LAUNCH_AND_AWAIT_H_
#define LAUNCH_LAUNCH_AND_AWAIT_H_

#include <stdint.h>
#include <windows.h>

#include "support/held_file.h"
#include "support/run_outcome.h"

namespace installer {

// The program's exit code with error 0, unchanged whatever its value. When the
// start fails: (`code_file`, attribute word of `program`) for a missing file,
// (`code_path`, attribute word) for a missing folder on its path, and
// (`code_other`, the start's error) otherwise. ProcessWaitFailed with the error
// when the wait or the exit code fails. `command_line` is the writable buffer
// that CreateProcessW may change. `current_folder` is the program's current
// folder; null keeps the stub's own. `program_hold`, when given, is the run's
// hold of the program file, shared for reading only: the program starts only if
// `program` still names that file (otherwise (`code_other`,
// ERROR_FILE_INVALID), with nothing started), and the hold is let go once the
// program has ended, so that nobody can put another file at its path while it
// runs (a program that starts itself again by its path starts the same file).
RunOutcome LaunchAndAwait(const wchar_t* program, wchar_t* command_line,
                          uint32_t code_file, uint32_t code_path,
                          uint32_t code_other,
                          const wchar_t* current_folder = nullptr,
                          HeldFile* program_hold = nullptr);

// True while a program that LaunchAndAwait started has not ended, asked
// without waiting: what the process knows when it crashes during the wait.
bool StartedProgramRunning();

// Waits, without a time-out, for the program that LaunchAndAwait started
// and is still waiting for, and reads its exit code: what the thread that
// started it needs when it crashes before its own wait could end. False
// when there is none or the wait or the code fails. `is_setup` says whether
// that program was setup itself (started with the SetupStart codes), whose
// exit code is the run's, rather than the installed setup program of a
// self-update (the SelfUpdateStart codes), which only builds setup.
bool AwaitStartedProgram(DWORD* exit_code, bool* is_setup);

}  // namespace installer

#endif  // LAUNCH_LAUNCH_AND_AWAIT_H_
