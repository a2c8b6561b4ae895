// The stack protector's guard and failure routine. The compiler reads the
// guard into every protected frame on entry and calls the failure routine
// when the copy differs on the way out; the image links no runtime, so it
// brings both itself. Test binaries get them from the compiler's library.
#include "stub/stack_guard.h"

#include <windows.h>
#include <stdint.h>

#include "support/random_bytes.h"

namespace {

// PF_FASTFAIL_AVAILABLE and FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, which the
// headers declare only for newer targets than the installer's.
constexpr DWORD kFastFailAvailable = 23;
constexpr unsigned kStackCookieCheckFailure = 2;
constexpr UINT kStatusStackBufferOverrun = 0xC0000409;

// The top two bytes stay zero: an overrun by a string copy, which stops at
// a zero, can then never write the guard back as it was.
constexpr uint64_t kGuardMask = 0x0000FFFFFFFFFFFF;

}  // namespace

extern "C" {

// Both are referred to only by code that the compiler generates after the
// whole-program optimisation has run, which must not drop them first.

// Never zero, even before it is seeded.
__attribute__((used)) uint64_t __stack_chk_guard = 0x00002B992DDFA232;

// A frame's guard no longer matches: the stack has been overwritten, and
// nothing that was on it, return addresses included, can be trusted. No
// more of the stub runs: not its crash handler, not its cleanup. Windows 8
// and later end the process at once through the fast-fail interrupt, which
// no handler of the process sees and which Windows Error Reporting records;
// older versions, where that interrupt would be an ordinary fault, are
// ended with TerminateProcess. Both give STATUS_STACK_BUFFER_OVERRUN.
__attribute__((used, noreturn, no_stack_protector)) void __stack_chk_fail() {
  if (IsProcessorFeaturePresent(kFastFailAvailable)) {
    asm volatile("int $0x29" : : "c"(kStackCookieCheckFailure) : "memory");
  }
  for (;;) TerminateProcess(GetCurrentProcess(), kStatusStackBufferOverrun);
}

}  // extern "C"

namespace installer {

// Unprotected itself, and kept out of its callers: it changes the very
// value that a protected frame around it would check.
__attribute__((noinline, no_stack_protector)) void SeedStackGuard() {
  uint64_t guard = 0;
  if (!FillRandomBytes(&guard, sizeof(guard))) {
    // Weaker, but no longer the value every copy of the image starts with:
    // the stack's address differs per process where the system randomises
    // it, the counter per moment.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    guard = static_cast<uint64_t>(counter.QuadPart) ^
            reinterpret_cast<uintptr_t>(&counter) ^
            (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
  }
  guard &= kGuardMask;
  if (guard != 0) __stack_chk_guard = guard;
}

}  // namespace installer
