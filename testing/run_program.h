// Running a test program to its end.
#ifndef TESTING_RUN_PROGRAM_H_
#define TESTING_RUN_PROGRAM_H_

#include <windows.h>

#include <string>

namespace testing_support {

// Runs `program` (quoted on its command line, then `arguments` if any) and
// waits for it. Returns its exit code, or 0x80000000 | the Windows error
// when it cannot be started, which no expected exit code of these tests is.
// A start that Wine itself failed (ERROR_INTERNAL_ERROR) is tried again, at
// most three times in all.
DWORD RunProgram(const std::wstring& program, const std::wstring& arguments);

}  // namespace testing_support

#endif  // TESTING_RUN_PROGRAM_H_
