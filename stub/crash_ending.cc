#include "stub/crash_ending.h"

#include <windows.h>
#include <stdint.h>

#include "cleanup/remove_with_retries.h"
#include "launch/launch_and_await.h"
#include "stub/run_outcome.h"
#include "support/bounded_string.h"
#include "support/client_state.h"
#include "unpack/cabinet_expander.h"

namespace installer {

namespace {

// Process-wide: the filter is given nothing but the exception. Zero-filled
// before the first instruction runs.
const InstallerSettings* g_watched_settings;
const RunState* g_watched_run;
// Set on the filter's first entry. A fault inside the filter comes back to
// it as a new unhandled exception; it then only ends the process.
volatile LONG g_ending;

constexpr uint32_t kCrashExitCode = static_cast<uint32_t>(ExitCode::RunCrashed);

[[noreturn]] void EndProcess() {
  // Not ExitProcess: that would run the detach code of every library in a
  // process whose state the crash may have damaged.
  for (;;) TerminateProcess(GetCurrentProcess(), kCrashExitCode);
}

}  // namespace

void ReleaseCrashedRun(const RunState* run, bool remove_files) {
  // Whatever the cabinet library held must be let go before its files can
  // be removed.
  AbandonCabinetExpansion();
  if (run == nullptr || !run->work_folder_made || !remove_files ||
      StartedProgramRunning()) {
    return;
  }
  // Besides the archive and the setup resource's file, the one name the
  // stub gives a file itself: the expanded setup program, or the one that
  // the installed setup program builds from a patch. A crash between its
  // making and its path reaching `setup_path` would leave it, and with it
  // the folder.
  PathString made_setup;
  if (made_setup.Copy(run->work_folder.data()) &&
      made_setup.Append(L"setup.exe")) {
    int32_t attempts = 0;
    RemoveWithRetries(made_setup.data(), &attempts);
  }
  // No success record follows a crash: the attempt count goes nowhere.
  int32_t max_delete_attempts = 0;
  RemoveUnpackedFiles(run->archive_path.data(), run->setup_path.data(),
                      run->work_folder.data(), &max_delete_attempts);
}

namespace {

LONG WINAPI EndCrashedRun(EXCEPTION_POINTERS* exception) {
  if (InterlockedExchange(&g_ending, 1) != 0) EndProcess();
  const uint32_t exception_code = exception->ExceptionRecord->ExceptionCode;
  const InstallerSettings* settings = g_watched_settings;
  const RunState* run = g_watched_run;
  ReleaseCrashedRun(run, settings != nullptr && settings->delete_unpacked_files);
  // Before its work folder exists a run records nothing, as when it fails
  // there.
  if (settings != nullptr && run != nullptr && run->work_folder_made) {
    WriteInstallerFailure(*settings,
                          MakeOutcome(ExitCode::RunCrashed, exception_code));
  }
  EndProcess();
}

}  // namespace

void InstallCrashEnding() { SetUnhandledExceptionFilter(EndCrashedRun); }

void WatchRunForCrash(const InstallerSettings* settings, const RunState* run) {
  g_watched_settings = settings;
  g_watched_run = run;
}

}  // namespace installer
