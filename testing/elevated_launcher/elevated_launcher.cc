// Runs the command line that follows its own name, with the token that its
// manifest asked for, and ends with that command's exit code.
//
//   elevated_launcher PROGRAM [ARGUMENTS...]
//
// Says on its standard error whether its own token is elevated, so that a
// pass meant to run elevated can tell when it is not. Exit code 0x7E57 when
// the command cannot be started (with the Windows error on standard error).
#include <windows.h>

#include <cstdio>
#include <string>

#include "testing/test_paths.h"

namespace {

constexpr DWORD kNotStarted = 0x7E57;

// The command line after the launcher's own program name, as it was given:
// quoting is passed on untouched.
const wchar_t* AfterProgramName(const wchar_t* line) {
  bool quoted = false;
  for (; *line != L'\0'; ++line) {
    if (*line == L'"') quoted = !quoted;
    if (!quoted && (*line == L' ' || *line == L'\t')) break;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

}  // namespace

int wmain() {
  std::fprintf(stderr, "elevated_launcher: %s\n",
               testing_support::Elevated() ? "elevated" : "not elevated");
  std::wstring command = AfterProgramName(GetCommandLineW());
  if (command.empty()) {
    std::fprintf(stderr, "usage: elevated_launcher PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "elevated_launcher: CreateProcessW failed with %lu\n",
                 GetLastError());
    return static_cast<int>(kNotStarted);
  }
  CloseHandle(process.hThread);
  DWORD exit_code = kNotStarted;
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &exit_code)) {
    std::fprintf(stderr, "elevated_launcher: no exit code (%lu)\n",
                 GetLastError());
    exit_code = kNotStarted;
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}
