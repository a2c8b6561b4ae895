#include "stub/crash_ending.h"

#include <windows.h>
#include <stdint.h>

#include "cleanup/remove_with_retries.h"
#include "launch/launch_and_await.h"
#include "stub/run_installer.h"
#include "support/bounded_string.h"
#include "support/client_state.h"
#include "support/run_outcome.h"
#include "unpack/cabinet_expander.h"

namespace installer {

namespace {

// Process-wide: the filter is given nothing but the exception. Zero-filled
// before the first instruction runs.
const InstallerSettings* g_watched_settings;
RunState* g_watched_run;
// The thread that runs the watched run; 0 while none is watched.
DWORD g_run_thread;
// Set on the filter's first entry. A fault inside the filter comes back to
// it as a new unhandled exception; it then only ends the process.
volatile LONG g_ending;

constexpr uint32_t kCrashExitCode = static_cast<uint32_t>(ExitCode::RunCrashed);

[[noreturn]] void EndProcess(uint32_t exit_code) {
  // Not ExitProcess: that would run the detach code of every library in a
  // process whose state the crash may have damaged.
  for (;;) TerminateProcess(GetCurrentProcess(), exit_code);
}

}  // namespace

void ReleaseCrashedRun(RunState* run, bool remove_files) {
  // Whatever the cabinet library held must be let go before its files can
  // be removed.
  AbandonCabinetExpansion();
  if (run == nullptr || !run->work_folder_made || !remove_files ||
      StartedProgramRunning()) {
    return;
  }
  // Besides the archive and the setup resource's file, the one name the
  // stub gives a file itself: the expanded setup program, while the
  // cabinet it came from is being removed. Removed only if the run made it.
  run->expanded_hold.Release();
  if (run->expanded_hold.identity.known) {
    PathString made_setup;
    if (JoinPath(run->work_folder.data(), kSetupProgramName, &made_setup)) {
      int32_t attempts = 0;
      RemoveWithRetries(made_setup.data(), &attempts,
                        &run->expanded_hold.identity);
    }
  }
  // No success record follows a crash: the attempt count goes nowhere.
  int32_t max_delete_attempts = 0;
  RemoveUnpackedFiles(run->archive_path.data(), run->setup_path.data(),
                      run->work_folder.data(), &max_delete_attempts,
                      &run->archive_hold, &run->setup_hold,
                      &run->work_folder_hold);
}

namespace {

LONG WINAPI EndCrashedRun(EXCEPTION_POINTERS* exception) {
  // A fault on a thread that is not the run's: one that a security product,
  // a hook or an injected library started in this process. The run's own
  // thread is untouched by it and goes on to its true ending, which, while
  // setup runs, is setup's result: this thread only stays out of its way.
  // Ending the process here instead would lose that result and leave the
  // work folder to a setup program that still runs.
  const DWORD run_thread = g_run_thread;
  if (run_thread != 0 && GetCurrentThreadId() != run_thread) {
    for (;;) Sleep(INFINITE);
  }
  if (InterlockedExchange(&g_ending, 1) != 0) EndProcess(kCrashExitCode);
  const InstallerSettings* settings = g_watched_settings;
  RunState* run = g_watched_run;
  // Before its work folder exists a run records nothing, as when it fails
  // there.
  const bool records = settings != nullptr && run != nullptr &&
                       run->work_folder_made;
  // A program that the run started is waited for as the run would have
  // waited. Setup's result is the run's: the product it installed is
  // there, or is not, whatever became of the stub meanwhile. The installed
  // setup program of a self-update only builds setup, which then never
  // runs: its exit code, 0 included, says nothing of an install, and the
  // run ends as the crash it is.
  DWORD started_exit_code = 0;
  bool started_setup = false;
  const bool ended = AwaitStartedProgram(&started_exit_code, &started_setup);
  const RunOutcome outcome =
      ended && started_setup
          ? RunOutcome{started_exit_code, 0}
          : MakeOutcome(ExitCode::RunCrashed,
                        exception->ExceptionRecord->ExceptionCode);
  // The record first: the removals may take seconds, or fault again, and
  // the updater must learn how the run ended either way.
  if (records) {
    WriteRunRecord(*settings, outcome, 0);
  }
  ReleaseCrashedRun(run, settings != nullptr && settings->delete_unpacked_files);
  EndProcess(outcome.exit_code);
}

}  // namespace

void InstallCrashEnding() { SetUnhandledExceptionFilter(EndCrashedRun); }

void ReserveCrashEndingStack() {
  ULONG reserve = 32 * 1024;
  SetThreadStackGuarantee(&reserve);
}

void WatchRunForCrash(const InstallerSettings* settings, RunState* run) {
  g_watched_settings = settings;
  g_watched_run = run;
  g_run_thread = run != nullptr ? GetCurrentThreadId() : 0;
}

}  // namespace installer
