// The executable's own entry point. No runtime start-up runs before it and
// nothing but ExitProcess runs after the run, so the process's exit code is
// exactly the run's.
#include <windows.h>

#include "stub/crash_ending.h"
#include "stub/image_pages.h"
#include "stub/library_search.h"
#include "stub/run_installer.h"
#include "stub/stack_guard.h"

// Unprotected: the guard changes while this frame is live, and the frame is
// never left but through ExitProcess.
extern "C" __attribute__((no_stack_protector)) void InstallerEntry() {
  // Before anything can make the loader search for a library; the guard's
  // random source is one such thing.
  installer::RestrictLibrarySearch();
  installer::SeedStackGuard();
  // No "insert a disk" or "drive not ready" box from a program without a
  // window: a missing medium is reported to the code that asked, as
  // Microsoft recommends for every application. The caller's own flags are
  // kept, and setup inherits them all.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
  installer::InstallCrashEnding();
  installer::ReserveCrashEndingStack();
  // For an executable, the null module is the image's own base address.
  const HMODULE module = GetModuleHandleW(nullptr);
  // From here on the run, its crash ending included, no longer reads the
  // installer file but for the payload.
  installer::DetachImageFromFile(module);
  const installer::RunOutcome outcome = installer::RunInstaller(module);
  ExitProcess(outcome.exit_code);
}
