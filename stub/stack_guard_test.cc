#include <gtest/gtest.h>

#include <windows.h>

#include "testing/run_program.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

// A frame whose guard was overwritten ends the process at once with
// STATUS_STACK_BUFFER_OVERRUN: the failure routine neither returns (exit
// code 0) nor lets the crash ending run (exit code 125, a record and a
// cleanup built on a stack that can no longer be trusted).
TEST(StackGuardTest, OverrunEndsTheProcessAtOnce) {
  EXPECT_EQ(testing_support::RunProgram(
                testing_support::TestFile(STACK_SMASH_PROBE_EXE),
                L""),
            0xC0000409u);
}

// What only Windows can show: a stack used up in small frames still leaves
// the crash ending the stack the entry reserved for it, and the process
// ends with the crash's code, 125 (here with no run to record).
TEST(StackGuardTest, OverflowLeavesTheCrashEndingItsStack) {
  if (testing_support::UnderWine()) {
    GTEST_SKIP() << "Wine 8 keeps the reserve SetThreadStackGuarantee asks "
                    "for but raises the overflow only on the stack's last "
                    "page, where no handler can run; Wine 10 does not keep "
                    "it on the main thread at all";
  }
  EXPECT_EQ(testing_support::RunProgram(
                testing_support::TestFile(STACK_SMASH_PROBE_EXE),
                L"--overflow"),
            125u);
}

}  // namespace
}  // namespace installer
