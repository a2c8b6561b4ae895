// run_meter COMMAND-LINE
// Starts COMMAND-LINE (the rest of the meter's own command line, exactly as
// given, or else the value of RUN_METER_COMMAND_LINE, which the child does
// not inherit: a command line started from a unix shell cannot keep quotes
// of its own), waits for it, and prints "key=value" lines to standard
// output:
//
//   start_filetime, end_filetime  UTC, 100 ns units since 1601, taken just
//                                 before CreateProcessW and just after the
//                                 wait ends (the clock the stand-in setup
//                                 records "started=" with)
//   wall_seconds                  the same span by QueryPerformanceCounter
//   create_seconds                the CreateProcessW call alone
//   exit_code
//   samples, failed_samples       memory and I/O polls made while it ran
//   peak_working_set              largest PeakWorkingSetSize seen
//   peak_private                  largest PrivateUsage seen
//   peak_pagefile                 largest PeakPagefileUsage seen
//   write_bytes, write_calls      largest WriteTransferCount and
//                                 WriteOperationCount seen
//   after_exit.memory             "ok" or the error of GetProcessMemoryInfo
//                                 on the ended process, then its figures
//   after_exit.io                 the same for GetProcessIoCounters
//   process_seconds               exit time minus creation time, by
//                                 GetProcessTimes
//
// The figures are read by polling, every RUN_METER_POLL_MS milliseconds
// (default 5), because a platform may report nothing for a process that has
// ended. Exits 0 once the command ran, 1 when it could not be started.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

uint64_t PreciseNow() {
  using PreciseTime = void(WINAPI*)(FILETIME*);
  static const FARPROC found = GetProcAddress(
      GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
  const auto precise =
      reinterpret_cast<PreciseTime>(reinterpret_cast<void*>(found));
  FILETIME now = {};
  if (precise != nullptr) {
    precise(&now);
  } else {
    GetSystemTimeAsFileTime(&now);
  }
  return FileTimeValue(now);
}

uint64_t Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart);
}

// Whatever follows the program's own name and the blanks after it.
const wchar_t* CommandAfterProgramName(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

struct Peaks {
  unsigned samples = 0;
  unsigned failed_samples = 0;
  uint64_t working_set = 0;
  uint64_t private_usage = 0;
  uint64_t pagefile = 0;
  uint64_t write_bytes = 0;
  uint64_t write_calls = 0;
};

bool ReadMemory(HANDLE process, PROCESS_MEMORY_COUNTERS_EX* counters) {
  *counters = {};
  counters->cb = sizeof(*counters);
  return GetProcessMemoryInfo(
      process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(counters),
      sizeof(*counters));
}

void Sample(HANDLE process, Peaks* peaks) {
  ++peaks->samples;
  PROCESS_MEMORY_COUNTERS_EX memory;
  IO_COUNTERS io = {};
  if (!ReadMemory(process, &memory) || !GetProcessIoCounters(process, &io)) {
    ++peaks->failed_samples;
    return;
  }
  peaks->working_set = std::max<uint64_t>(peaks->working_set,
                                          memory.PeakWorkingSetSize);
  peaks->private_usage = std::max<uint64_t>(peaks->private_usage,
                                            memory.PrivateUsage);
  peaks->pagefile = std::max<uint64_t>(peaks->pagefile,
                                       memory.PeakPagefileUsage);
  peaks->write_bytes = std::max<uint64_t>(peaks->write_bytes,
                                          io.WriteTransferCount);
  peaks->write_calls = std::max<uint64_t>(peaks->write_calls,
                                          io.WriteOperationCount);
}

void Print(const char* key, uint64_t value) {
  std::printf("%s=%llu\n", key, static_cast<unsigned long long>(value));
}

}  // namespace

int main() {
  std::wstring command = CommandAfterProgramName(GetCommandLineW());
  if (command.empty()) {
    const DWORD needed =
        GetEnvironmentVariableW(L"RUN_METER_COMMAND_LINE", nullptr, 0);
    if (needed != 0) {
      command.resize(needed);
      command.resize(GetEnvironmentVariableW(L"RUN_METER_COMMAND_LINE",
                                             command.data(), needed));
      SetEnvironmentVariableW(L"RUN_METER_COMMAND_LINE", nullptr);
    }
  }
  if (command.empty()) {
    std::fprintf(stderr, "usage: run_meter COMMAND-LINE\n"
                         "       RUN_METER_COMMAND_LINE=... run_meter\n");
    return 1;
  }
  DWORD poll_ms = 5;
  if (const char* text = std::getenv("RUN_METER_POLL_MS")) {
    poll_ms = static_cast<DWORD>(std::strtoul(text, nullptr, 10));
    if (poll_ms == 0) poll_ms = 1;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double tick_seconds = 1.0 / static_cast<double>(frequency.QuadPart);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child = {};
  const uint64_t start_filetime = PreciseNow();
  const uint64_t start_ticks = Ticks();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &child)) {
    std::fprintf(stderr, "run_meter: CreateProcessW failed with %lu\n",
                 GetLastError());
    return 1;
  }
  const uint64_t created_ticks = Ticks();
  CloseHandle(child.hThread);

  Peaks peaks;
  while (WaitForSingleObject(child.hProcess, poll_ms) == WAIT_TIMEOUT) {
    Sample(child.hProcess, &peaks);
  }
  const uint64_t end_ticks = Ticks();
  const uint64_t end_filetime = PreciseNow();

  DWORD exit_code = 0;
  GetExitCodeProcess(child.hProcess, &exit_code);
  Print("start_filetime", start_filetime);
  Print("end_filetime", end_filetime);
  std::printf("wall_seconds=%.6f\n", (end_ticks - start_ticks) * tick_seconds);
  std::printf("create_seconds=%.6f\n",
              (created_ticks - start_ticks) * tick_seconds);
  Print("exit_code", exit_code);
  Print("samples", peaks.samples);
  Print("failed_samples", peaks.failed_samples);
  Print("peak_working_set", peaks.working_set);
  Print("peak_private", peaks.private_usage);
  Print("peak_pagefile", peaks.pagefile);
  Print("write_bytes", peaks.write_bytes);
  Print("write_calls", peaks.write_calls);

  PROCESS_MEMORY_COUNTERS_EX memory;
  if (ReadMemory(child.hProcess, &memory)) {
    std::printf("after_exit.memory=ok\n");
    Print("after_exit.peak_working_set", memory.PeakWorkingSetSize);
    Print("after_exit.private", memory.PrivateUsage);
    Print("after_exit.peak_pagefile", memory.PeakPagefileUsage);
  } else {
    Print("after_exit.memory", GetLastError());
  }
  IO_COUNTERS io = {};
  if (GetProcessIoCounters(child.hProcess, &io)) {
    std::printf("after_exit.io=ok\n");
    Print("after_exit.write_bytes", io.WriteTransferCount);
  } else {
    Print("after_exit.io", GetLastError());
  }
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(child.hProcess, &created, &exited, &kernel, &user)) {
    std::printf("process_seconds=%.6f\n",
                (FileTimeValue(exited) - FileTimeValue(created)) * 1e-7);
  }
  CloseHandle(child.hProcess);
  std::fflush(stdout);
  return 0;
}
