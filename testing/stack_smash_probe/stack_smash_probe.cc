// A program built like the installer image, without a runtime and with the
// stub's own stack guard, failure routine and crash ending, whose one
// function overruns a buffer on its own stack; or, with "--overflow", whose
// one function uses up the stack in small frames, as deep recursion in a
// library would, once the entry has reserved the crash ending's stack.
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

// Ends only where the stack does; every frame is used after its call.
__attribute__((noinline)) int UseUpTheStack(volatile char* caller) {
  volatile char frame[48];
  frame[0] = caller != nullptr ? caller[0] : 1;
  if (frame[0] == 0) return 0;
  return UseUpTheStack(frame) + frame[sizeof(frame) - 1];
}

bool Asked(const wchar_t* option) {
  const wchar_t* line = GetCommandLineW();
  for (const wchar_t* at = line; *at != 0; ++at) {
    const wchar_t* a = at;
    const wchar_t* b = option;
    while (*b != 0 && *a == *b) {
      ++a;
      ++b;
    }
    if (*b == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" __attribute__((no_stack_protector)) void ProbeEntry() {
  installer::SeedStackGuard();
  installer::InstallCrashEnding();
  installer::ReserveCrashEndingStack();
  if (Asked(L"--overflow")) UseUpTheStack(nullptr);
  Overrun(64);
  ExitProcess(0);
}
