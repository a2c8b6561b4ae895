// Running a test program to its end.
#ifndef TESTING_RUN_PROGRAM_H_
#define TESTING_RUN_PROGRAM_H_

#include <windows.h>

#include <string>

namespace testing_support {

// CreateProcessW with no flags, no environment or folder of its own, tried
// again when it answers ERROR_INTERNAL_ERROR: under load Wine now and then
// loses a new process before it has reported in, and nothing was started,
// so starting again is exact. Three tries in all; the last error as
// CreateProcessW leaves it.
inline BOOL StartProgram(const wchar_t* application, wchar_t* line,
                         BOOL inherit_handles, STARTUPINFOW* startup,
                         PROCESS_INFORMATION* process) {
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(application, line, nullptr, nullptr, inherit_handles,
                       0, nullptr, nullptr, startup, process)) {
      return TRUE;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return FALSE;
  }
}

// Runs `program` (quoted on its command line, then `arguments` if any) and
// waits for it. Returns its exit code, or 0x80000000 | the Windows error
// when it cannot be started, which no expected exit code of these tests is.
// Started by StartProgram.
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments);

}  // namespace testing_support

#endif  // TESTING_RUN_PROGRAM_H_
