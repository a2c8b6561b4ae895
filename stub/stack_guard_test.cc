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

}  // namespace
}  // namespace installer
