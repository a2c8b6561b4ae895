// A program built like the installer image, without a runtime and with the
// stub's own stack guard, failure routine and crash ending, whose one
// function overruns a buffer on its own stack.
#include <windows.h>

#include "stub/crash_ending.h"
#include "stub/stack_guard.h"

namespace {

__attribute__((noinline)) void Fill(volatile char* bytes, int count) {
  for (int i = 0; i < count; ++i) bytes[i] = 'x';
}

// Protected: it has a local array.
__attribute__((noinline)) int Overrun(int count) {
  volatile char buffer[16];
  Fill(buffer, count);
  return buffer[0];
}

}  // namespace

extern "C" __attribute__((no_stack_protector)) void ProbeEntry() {
  installer::SeedStackGuard();
  installer::InstallCrashEnding();
  Overrun(64);
  ExitProcess(0);
}
