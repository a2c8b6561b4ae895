// Runs the test bundle's binaries, one after the other, and tells what came
// of each: on Windows itself, or under Wine. Started by run-tests.cmd, which
// sets STUB_TEST_ROOT to the bundle's folder.
//
//   test_runner [RESULTS_FOLDER]
//
// RESULTS_FOLDER may also be named by STUB_TEST_RESULTS.
// The bundle's "tests.txt" lists one run per line, its fields separated by
// "|": a name, the binary (below the bundle's folder), its arguments, and
// extra environment ("NAME=VALUE" pairs separated by "&"). Each binary's
// output goes to RESULTS_FOLDER (default: the temporary folder's
// "stub-test-results"), and each test that skipped is named with its
// reason. The tests' scratch folders and temporary folder lie below
// RESULTS_FOLDER too (STUB_TEST_SCRATCH, TEMP and TMP), never in the
// temporary folder the runner was given, which may be another user's. Each
// binary runs in a job object and is stopped, with every process it
// started, after STUB_TEST_TIMEOUT_S seconds (default 600); a binary that
// is stopped or crashes counts the cases it finished and one failed case,
// named with the reason. A call of the runner's own that fails is named
// with its Windows error, and fails the binary it was for. The last line
// counts the test cases:
// "N passed, N failed, N skipped". Exit code 0 when nothing failed, 1
// otherwise, 2 when the bundle cannot be read.
//
// When elevated on Windows, a small VHD is made and mounted as the volume
// that runs full (STUB_TEST_FULL_VOLUME); otherwise its tests skip.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testing/test_paths.h"

namespace {

struct Run {
  std::string name;
  std::string binary;
  std::string arguments;
  std::string environment;
};

struct Counts {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
};

std::wstring Wide(const std::string& text) {
  std::wstring wide;
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1,
                                       nullptr, 0);
  if (size > 1) {
    wide.resize(static_cast<size_t>(size) - 1);
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
  }
  return wide;
}

std::string Utf8(const std::wstring& text) {
  std::string bytes;
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr,
                                       0, nullptr, nullptr);
  if (size > 1) {
    bytes.resize(static_cast<size_t>(size) - 1);
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size,
                        nullptr, nullptr);
  }
  return bytes;
}

// "CALL failed with N (the system's text for N)", for the last error.
std::string Failed(const char* call) {
  const DWORD error = GetLastError();
  wchar_t* text = nullptr;
  std::string message = std::string(call) + " failed with " +
                        std::to_string(error);
  if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                         FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0,
                     nullptr) != 0 &&
      text != nullptr) {
    std::string said = Utf8(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' ||
                             said.back() == ' ' || said.back() == '.')) {
      said.pop_back();
    }
    message += " (" + said + ")";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

bool ReadRuns(const std::wstring& path, std::vector<Run>* runs) {
  std::ifstream in{std::filesystem::path(path)};
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = Split(line, '|');
    if (fields.size() != 4) return false;
    runs->push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  return !runs->empty();
}

constexpr long kNotStarted = -1;
constexpr DWORD kStoppedExitCode = 0x5707;  // "STOP"

// How one binary ended.
struct Ending {
  long exit_code = kNotStarted;
  bool stopped = false;  // ran past its time limit
  // The runner's own calls that failed for this run, each with its Windows
  // error; empty when none did.
  std::string failure;
  void Add(const std::string& failed) {
    failure += (failure.empty() ? "" : "; ") + failed;
  }
};

// Runs `command_line` with the extra environment, its output into `log`, in
// a job object that ends it and every process it started once `limit_ms`
// have passed, or when the runner itself ends.
Ending RunOne(const std::wstring& command_line, const std::string& environment,
              const std::wstring& log, DWORD limit_ms) {
  Ending ending;
  std::vector<std::pair<std::wstring, std::wstring>> saved;
  for (const std::string& pair : Split(environment, '&')) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    const std::wstring name = Wide(pair.substr(0, equals));
    wchar_t old[4096];
    const DWORD length = GetEnvironmentVariableW(name.c_str(), old, 4096);
    saved.emplace_back(name, length > 0 && length < 4096 ? old : L"\x1");
    if (!SetEnvironmentVariableW(name.c_str(),
                                 Wide(pair.substr(equals + 1)).c_str())) {
      ending.Add(Failed("SetEnvironmentVariableW"));
    }
  }
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              &inherit, CREATE_ALWAYS, 0, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    ending.Add(Failed("CreateFileW of the log"));
  }
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) ending.Add(Failed("CreateJobObjectW"));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr &&
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                               &limits, sizeof(limits))) {
    ending.Add(Failed("SetInformationJobObject"));
    CloseHandle(job);
    job = nullptr;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  std::wstring line = command_line;
  // Suspended until it is in the job, so that nothing it starts escapes.
  if (output != INVALID_HANDLE_VALUE && job != nullptr) {
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process)) {
      ending.Add(Failed("CreateProcessW"));
      process.hProcess = nullptr;
    }
  }
  if (process.hProcess != nullptr) {
    if (!AssignProcessToJobObject(job, process.hProcess)) {
      ending.Add(Failed("AssignProcessToJobObject"));
      TerminateProcess(process.hProcess, kStoppedExitCode);
    }
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
      ending.Add(Failed("ResumeThread"));
    }
    CloseHandle(process.hThread);
    const DWORD waited = WaitForSingleObject(process.hProcess, limit_ms);
    if (waited == WAIT_TIMEOUT) {
      ending.stopped = true;
      if (!TerminateJobObject(job, kStoppedExitCode)) {
        ending.Add(Failed("TerminateJobObject"));
      }
      WaitForSingleObject(process.hProcess, INFINITE);
    } else if (waited == WAIT_FAILED) {
      ending.Add(Failed("WaitForSingleObject"));
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) {
      ending.exit_code = static_cast<long>(code);
    } else {
      ending.Add(Failed("GetExitCodeProcess"));
      ending.exit_code = static_cast<long>(kStoppedExitCode);
    }
    CloseHandle(process.hProcess);
  }
  // Whatever the binary left running goes with the job.
  if (job != nullptr) CloseHandle(job);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  for (const auto& [name, value] : saved) {
    SetEnvironmentVariableW(name.c_str(),
                            value == L"\x1" ? nullptr : value.c_str());
  }
  return ending;
}

// Counts the cases in `log` as GoogleTest ends each one, so that the cases
// of a binary that dies still count, and names each skipped test with the
// message it gave. `unfinished` receives the case that started and never
// ended, if any; `summary_found` whether GoogleTest's closing summary came.
Counts ReadLog(const std::wstring& log, std::string* unfinished,
               bool* summary_found) {
  Counts counts;
  *summary_found = false;
  unfinished->clear();
  std::ifstream in{std::filesystem::path(log)};
  std::string line;
  std::string reason;
  bool in_skip_message = false;
  const auto ends_case = [](const std::string& text, const char* marker) {
    return text.rfind(marker, 0) == 0 && text.size() > 4 &&
           text.compare(text.size() - 4, 4, " ms)") == 0;
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 9 && line.compare(line.size() - 9, 9, ": Skipped") == 0) {
      in_skip_message = true;
      reason.clear();
      continue;
    }
    if (line.rfind("[ RUN      ] ", 0) == 0) {
      *unfinished = line.substr(13);
      in_skip_message = false;
      continue;
    }
    if (ends_case(line, "[  SKIPPED ] ")) {
      std::printf("    skipped %s: %s\n", line.substr(13).c_str(),
                  reason.empty() ? "(no reason given)" : reason.c_str());
      ++counts.skipped;
      unfinished->clear();
      in_skip_message = false;
      continue;
    }
    if (in_skip_message && !line.empty()) {
      reason += (reason.empty() ? "" : " ") + line;
      continue;
    }
    if (ends_case(line, "[       OK ] ")) {
      ++counts.passed;
      unfinished->clear();
    } else if (ends_case(line, "[  FAILED  ] ")) {
      std::printf("    failed %s\n", line.substr(13).c_str());
      ++counts.failed;
      unfinished->clear();
    } else if (line.rfind("[  PASSED  ] ", 0) == 0) {
      *summary_found = true;
    }
  }
  return counts;
}

// A small volume that runs full, for an elevated run on Windows: a VHD made,
// formatted and mounted on an empty folder by diskpart, and used only once
// the folder is proven to be the mount point of a small volume. Detached
// and deleted when the runner ends, however it ends.
class FullVolume {
 public:
  explicit FullVolume(const std::wstring& results) {
    folder_ = results + L"full volume\\";
    vhd_ = results + L"full-volume.vhd";
    CreateDirectoryW(folder_.c_str(), nullptr);
    DeleteFileW(vhd_.c_str());
    made_ = true;
    // Room to spare beyond what the full-volume tests fill: NTFS keeps a
    // few MiB of a small volume for itself.
    if (!Diskpart(L"create vdisk file=\"" + vhd_ +
                  L"\" maximum=16 type=fixed\r\nselect vdisk file=\"" + vhd_ +
                  L"\"\r\nattach vdisk\r\ncreate partition primary\r\n"
                  L"format fs=ntfs quick label=stubfull\r\nassign mount=\"" +
                  folder_ + L"\"\r\n")) {
      why_ = "diskpart could not make, attach or mount the VHD (see " +
             Utf8(vhd_) + ".diskpart.log)";
      return;
    }
    wchar_t volume[MAX_PATH];
    ULARGE_INTEGER free_bytes = {};
    ULARGE_INTEGER total_bytes = {};
    if (!GetVolumeNameForVolumeMountPointW(folder_.c_str(), volume,
                                           MAX_PATH)) {
      why_ = "no volume is mounted at " + Utf8(folder_) + ": " +
             Failed("GetVolumeNameForVolumeMountPointW");
      return;
    }
    if (!GetDiskFreeSpaceExW(folder_.c_str(), &free_bytes, &total_bytes,
                             nullptr)) {
      why_ = Failed("GetDiskFreeSpaceExW") + " for " + Utf8(folder_);
      return;
    }
    if (total_bytes.QuadPart > 64ull * 1024 * 1024) {
      why_ = "the volume at " + Utf8(folder_) + " is not the small one";
      return;
    }
    HANDLE marker = CreateFileW((folder_ + L"mounted").c_str(), GENERIC_WRITE,
                                0, nullptr, CREATE_ALWAYS, 0, nullptr);
    mounted_ = marker != INVALID_HANDLE_VALUE;
    if (mounted_) {
      CloseHandle(marker);
    } else {
      why_ = "the mounted volume cannot be written: " +
             Failed("CreateFileW");
    }
  }
  ~FullVolume() { Remove(); }
  void Remove() {
    if (!made_) return;
    made_ = false;
    DeleteFileW((folder_ + L"mounted").c_str());
    Diskpart(L"select vdisk file=\"" + vhd_ + L"\"\r\ndetach vdisk\r\n");
    DeleteFileW(vhd_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_; }
  const std::wstring& folder() const { return folder_; }

 private:
  bool Diskpart(const std::wstring& script) {
    const std::wstring path = vhd_ + L".diskpart.txt";
    std::ofstream out{std::filesystem::path(path)};
    out << Utf8(script);
    out.close();
    const Ending ending = RunOne(L"diskpart.exe /s \"" + path + L"\"", "",
                                 vhd_ + L".diskpart.log", 120000);
    DeleteFileW(path.c_str());
    if (!ending.failure.empty()) {
      std::printf("diskpart: %s\n", ending.failure.c_str());
    }
    return ending.exit_code == 0 && ending.failure.empty();
  }

  std::wstring folder_;
  std::wstring vhd_;
  std::string why_;
  bool made_ = false;
  bool mounted_ = false;
};

// The volume, for the console handler: a runner stopped by Ctrl+C or by
// its window closing still detaches it.
FullVolume* g_volume;

BOOL WINAPI RemoveVolumeOnStop(DWORD) {
  if (g_volume != nullptr) g_volume->Remove();
  return FALSE;
}

// The time limit of one binary, from STUB_TEST_TIMEOUT_S (seconds).
DWORD TimeLimitMs() {
  wchar_t text[32];
  const DWORD length =
      GetEnvironmentVariableW(L"STUB_TEST_TIMEOUT_S", text, 32);
  if (length > 0 && length < 32) {
    const unsigned long seconds = std::wcstoul(text, nullptr, 10);
    if (seconds > 0 && seconds < 4000000) return seconds * 1000;
  }
  return 600 * 1000;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring root = testing_support::TestFile("");
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wchar_t named[MAX_PATH];
  const DWORD named_length =
      GetEnvironmentVariableW(L"STUB_TEST_RESULTS", named, MAX_PATH);
  std::wstring results =
      argc > 1 ? argv[1]
      : named_length > 0 && named_length < MAX_PATH
          ? std::wstring(named)
          : std::wstring(temp) + L"stub-test-results";
  if (results.back() != L'\\') results += L'\\';
  if (!CreateDirectoryW(results.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    std::printf("cannot make the results folder %s: %s\n",
                Utf8(results).c_str(), Failed("CreateDirectoryW").c_str());
    return 2;
  }
  std::vector<Run> runs;
  if (!ReadRuns(root + L"tests.txt", &runs)) {
    std::printf("cannot read %s\n", Utf8(root + L"tests.txt").c_str());
    return 2;
  }
  const bool wine = testing_support::UnderWine();
  const bool elevated = testing_support::Elevated();
  const std::string where =
      wine ? "under Wine " + testing_support::WineVersion() : "on Windows";
  std::printf("test bundle %s, %s, %s; logs in %s\n", Utf8(root).c_str(),
              where.c_str(),
              elevated ? "elevated" : "not elevated", Utf8(results).c_str());
  // Scratch folders below the results, which this runner controls: the
  // temporary folder that the runner was given may be another user's (one
  // started for a standard user can inherit its starter's) or unusable.
  // The binaries' own temporary folder goes there too, for what the system
  // writes there on their behalf (a resource update, say).
  const std::wstring scratch = results + L"scratch\\";
  if (!CreateDirectoryW(scratch.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    std::printf("cannot make the scratch folder %s: %s\n",
                Utf8(scratch).c_str(), Failed("CreateDirectoryW").c_str());
    return 2;
  }
  SetEnvironmentVariableW(L"STUB_TEST_SCRATCH", scratch.c_str());
  SetEnvironmentVariableW(L"TEMP", scratch.c_str());
  SetEnvironmentVariableW(L"TMP", scratch.c_str());
  const DWORD limit_ms = TimeLimitMs();
  std::unique_ptr<FullVolume> volume;
  if (!wine && elevated) {
    volume = std::make_unique<FullVolume>(results);
    g_volume = volume.get();
    SetConsoleCtrlHandler(RemoveVolumeOnStop, TRUE);
    if (volume->mounted()) {
      SetEnvironmentVariableW(L"STUB_TEST_FULL_VOLUME",
                              volume->folder().c_str());
      std::printf("a small volume runs full at %s\n",
                  Utf8(volume->folder()).c_str());
    } else {
      std::printf("no small volume (%s): its tests skip\n",
                  volume->why_not().c_str());
    }
  }
  Counts total;
  for (const Run& run : runs) {
    std::fflush(stdout);
    const std::wstring log = results + Wide(run.name) + L".log";
    const std::wstring command = L"\"" + root + Wide(run.binary) + L"\" " +
                                 Wide(run.arguments);
    const Ending ending = RunOne(command, run.environment, log, limit_ms);
    bool summary = false;
    std::string unfinished;
    Counts counts = ReadLog(log, &unfinished, &summary);
    // A binary that died or was stopped: the case it was in, or the binary
    // itself, counts as one more failed case, named with the reason.
    std::string why;
    if (!ending.failure.empty()) {
      why = ending.failure;
    } else if (ending.exit_code == kNotStarted) {
      why = "could not be started";
    } else if (ending.stopped) {
      why = "stopped after " + std::to_string(limit_ms / 1000) + " s";
    } else if (!summary) {
      char code[32];
      std::snprintf(code, sizeof(code), "0x%08lX",
                    static_cast<unsigned long>(ending.exit_code));
      why = std::string("ended early with exit code ") + code;
    }
    if (!why.empty()) {
      ++counts.failed;
      std::printf("    failed %s: %s\n",
                  unfinished.empty() ? run.name.c_str() : unfinished.c_str(),
                  why.c_str());
    }
    const bool failed = ending.exit_code != 0 || counts.failed > 0 ||
                        !ending.failure.empty();
    if (failed && counts.failed == 0) ++counts.failed;
    std::printf("%s: %s (%d passed, %d failed, %d skipped; exit code %ld)\n",
                run.name.c_str(), failed ? "FAILED" : "passed", counts.passed,
                counts.failed, counts.skipped, ending.exit_code);
    total.passed += counts.passed;
    total.failed += counts.failed;
    total.skipped += counts.skipped;
  }
  volume.reset();
  g_volume = nullptr;
  std::printf("%d passed, %d failed, %d skipped\n", total.passed,
              total.failed, total.skipped);
  return total.failed > 0 ? 1 : 0;
}
