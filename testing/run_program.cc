#include "testing/run_program.h"

namespace testing_support {

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments) {
  std::wstring line = L"\"" + program + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  // Under load Wine now and then cannot set a new process up and answers
  // ERROR_INTERNAL_ERROR; nothing was started, so starting again is exact.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                       0, nullptr, nullptr, &startup, &process)) {
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == kAttempts) {
      return error | 0x80000000;
    }
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  return exit_code;
}

}  // namespace testing_support
