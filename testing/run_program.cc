#include "testing/run_program.h"

namespace testing_support {

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments) {
  std::wstring line = L"\"" + program + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!StartProgram(program.c_str(), line.data(), FALSE, &startup,
                    &process)) {
    return GetLastError() | 0x80000000;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  return exit_code;
}

}  // namespace testing_support
