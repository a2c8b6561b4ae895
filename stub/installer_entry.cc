// The executable's own entry point. No runtime start-up runs before it and
// nothing but ExitProcess runs after the run, so the process's exit code is
// exactly the run's.
#include <windows.h>

#include "stub/library_search.h"
#include "stub/run_installer.h"

extern "C" void InstallerEntry() {
  // Before anything can make the loader search for a library.
  installer::RestrictLibrarySearch();
  // For an executable, the null module is the image's own base address.
  const installer::RunOutcome outcome =
      installer::RunInstaller(GetModuleHandleW(nullptr));
  ExitProcess(outcome.exit_code);
}
