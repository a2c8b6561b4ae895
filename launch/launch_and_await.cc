#include "launch/launch_and_await.h"

#include <stdint.h>
#include <windows.h>

#include "support/bounded_string.h"
#include "support/run_outcome.h"
#include "support/unique_resource.h"

namespace installer {

namespace {

// The process being waited for, set only between its start and the closing
// of its handle. Process-wide, because a crash handler has nothing else to
// ask; zero-filled before the first instruction runs.
HANDLE g_started_program;
// Whether that program is setup itself. The codes a caller passes say which
// program it starts: setup's are the SetupStart codes, those of the
// installed setup program that builds setup in a self-update the
// SelfUpdateStart codes.
bool g_started_program_is_setup;

}  // namespace

RunOutcome LaunchAndAwait(const wchar_t* program, wchar_t* command_line,
                          uint32_t code_file, uint32_t code_path,
                          uint32_t code_other, const wchar_t* current_folder,
                          HeldFile* program_hold) {
  STARTUPINFOW startup;
  FillBytes(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  FillBytes(&process, 0, sizeof(process));

  // The path is looked up once more by CreateProcessW; it must lead to the
  // file the run holds, which nobody can rename or change meanwhile.
  if (program_hold != nullptr && program_hold->IsHeld() &&
      !PathNamesFile(program, *program_hold)) {
    program_hold->Release();
    return RunOutcome{code_other, ERROR_FILE_INVALID};
  }
  const BOOL started =
      CreateProcessW(program, command_line, nullptr, nullptr, FALSE,
                     CREATE_NO_WINDOW, nullptr, current_folder, &startup,
                     &process);
  if (!started) {
    const DWORD error = GetLastError();
    if (program_hold != nullptr) program_hold->Release();
    // For a missing file or folder, what is there at the path tells more
    // than the error, which the code already carries.
    const DWORD attributes = GetFileAttributesW(program);
    if (error == ERROR_FILE_NOT_FOUND) return RunOutcome{code_file, attributes};
    if (error == ERROR_PATH_NOT_FOUND) return RunOutcome{code_path, attributes};
    return RunOutcome{code_other, error};
  }
  // Only the process is waited for; its first thread is never held.
  CloseHandle(process.hThread);
  UniqueHandle program_process(process.hProcess);
  g_started_program_is_setup =
      code_other == static_cast<uint32_t>(ExitCode::SetupStartFailed);
  g_started_program = program_process.get();

  DWORD exit_code = 0;
  const bool ended =
      WaitForSingleObject(program_process.get(), INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(program_process.get(), &exit_code);
  const LastErrorKeeper error;
  // Held while the program runs: one that starts itself again by its path
  // (to elevate, say) starts the same file.
  if (program_hold != nullptr) program_hold->Release();
  g_started_program = nullptr;
  program_process.Reset();
  if (!ended) return MakeOutcome(ExitCode::ProcessWaitFailed, error.error());
  return RunOutcome{exit_code, 0};
}

bool StartedProgramRunning() {
  return g_started_program != nullptr &&
         WaitForSingleObject(g_started_program, 0) == WAIT_TIMEOUT;
}

bool AwaitStartedProgram(DWORD* exit_code, bool* is_setup) {
  const HANDLE program = g_started_program;
  *is_setup = g_started_program_is_setup;
  return program != nullptr &&
         WaitForSingleObject(program, INFINITE) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(program, exit_code);
}

}  // namespace installer
