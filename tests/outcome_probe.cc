// A test program that is the installer's run sequence without a payload:
// it runs RunInstaller on its own image and writes the whole outcome, which
// an installer's exit code alone does not show, as "exit_code windows_error"
// into the file named by OUTCOME_PROBE_REPORT. It exits with the exit code.
#include <windows.h>

#include <cstdio>

#include "stub/run_installer.h"

int main() {
  const installer::RunOutcome outcome =
      installer::RunInstaller(GetModuleHandleW(nullptr));
  wchar_t report[MAX_PATH];
  const DWORD length =
      GetEnvironmentVariableW(L"OUTCOME_PROBE_REPORT", report, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    if (FILE* file = _wfopen(report, L"w")) {
      std::fprintf(file, "%u %u\n", outcome.exit_code, outcome.windows_error);
      std::fclose(file);
    }
  }
  return static_cast<int>(outcome.exit_code);
}
