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
// reason. The last line counts the test cases: "N passed, N failed, N
// skipped". Exit code 0 when nothing failed, 1 otherwise, 2 when the bundle
// cannot be read.
//
// When elevated on Windows, a small VHD is made and mounted as the volume
// that runs full (STUB_TEST_FULL_VOLUME); otherwise its tests skip.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
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

// Runs `command_line` with the extra environment, its output into `log`;
// its exit code, or -1 when it could not be started.
long RunOne(const std::wstring& command_line, const std::string& environment,
            const std::wstring& log) {
  std::vector<std::pair<std::wstring, std::wstring>> saved;
  for (const std::string& pair : Split(environment, '&')) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    const std::wstring name = Wide(pair.substr(0, equals));
    wchar_t old[4096];
    const DWORD length = GetEnvironmentVariableW(name.c_str(), old, 4096);
    saved.emplace_back(name, length > 0 && length < 4096 ? old : L"\x1");
    SetEnvironmentVariableW(name.c_str(),
                            Wide(pair.substr(equals + 1)).c_str());
  }
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE output = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  std::wstring line = command_line;
  long exit_code = -1;
  if (output != INVALID_HANDLE_VALUE &&
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0,
                     nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    exit_code = static_cast<long>(code);
    CloseHandle(process.hProcess);
  }
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  for (const auto& [name, value] : saved) {
    SetEnvironmentVariableW(name.c_str(),
                            value == L"\x1" ? nullptr : value.c_str());
  }
  return exit_code;
}

int NumberAfter(const std::string& line, const std::string& marker) {
  if (line.rfind(marker, 0) != 0) return -1;
  return std::atoi(line.c_str() + marker.size());
}

// Counts GoogleTest's summary in `log` and names each skipped test with the
// message it gave.
Counts ReadLog(const std::wstring& log, bool* summary_found) {
  Counts counts;
  *summary_found = false;
  std::ifstream in{std::filesystem::path(log)};
  std::string line;
  std::string reason;
  bool in_skip_message = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 9 && line.compare(line.size() - 9, 9, ": Skipped") == 0) {
      in_skip_message = true;
      reason.clear();
      continue;
    }
    if (line.rfind("[  SKIPPED ] ", 0) == 0 && line.find(" ms)") !=
        std::string::npos) {
      std::printf("    skipped %s: %s\n", line.substr(13).c_str(),
                  reason.empty() ? "(no reason given)" : reason.c_str());
      in_skip_message = false;
      continue;
    }
    if (in_skip_message && !line.empty()) {
      reason += (reason.empty() ? "" : " ") + line;
      continue;
    }
    int number = NumberAfter(line, "[  PASSED  ] ");
    if (number >= 0) {
      counts.passed = number;
      *summary_found = true;
    }
    number = NumberAfter(line, "[  FAILED  ] ");
    if (number >= 0 && line.find(" test") != std::string::npos &&
        line.find(',') != std::string::npos) {
      counts.failed = number;
    }
    number = NumberAfter(line, "[  SKIPPED ] ");
    if (number >= 0 && line.find(" test") != std::string::npos) {
      counts.skipped = number;
    }
  }
  return counts;
}

// A small volume that runs full, for an elevated run on Windows: a VHD made,
// formatted and mounted on an empty folder by diskpart.
class FullVolume {
 public:
  explicit FullVolume(const std::wstring& results) {
    folder_ = results + L"full volume\\";
    vhd_ = results + L"full-volume.vhd";
    CreateDirectoryW(folder_.c_str(), nullptr);
    DeleteFileW(vhd_.c_str());
    Diskpart(L"create vdisk file=\"" + vhd_ +
             L"\" maximum=8 type=fixed\r\nselect vdisk file=\"" + vhd_ +
             L"\"\r\nattach vdisk\r\ncreate partition primary\r\n"
             L"format fs=ntfs quick label=stubfull\r\nassign mount=\"" +
             folder_ + L"\"\r\n");
    HANDLE marker = CreateFileW((folder_ + L"mounted").c_str(), GENERIC_WRITE,
                                0, nullptr, CREATE_ALWAYS, 0, nullptr);
    mounted_ = marker != INVALID_HANDLE_VALUE;
    if (mounted_) CloseHandle(marker);
  }
  ~FullVolume() {
    DeleteFileW((folder_ + L"mounted").c_str());
    Diskpart(L"select vdisk file=\"" + vhd_ + L"\"\r\ndetach vdisk\r\n");
    DeleteFileW(vhd_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::wstring& folder() const { return folder_; }

 private:
  void Diskpart(const std::wstring& script) {
    const std::wstring path = vhd_ + L".diskpart.txt";
    std::ofstream out{std::filesystem::path(path)};
    out << Utf8(script);
    out.close();
    RunOne(L"diskpart.exe /s \"" + path + L"\"", "", vhd_ + L".diskpart.log");
    DeleteFileW(path.c_str());
  }

  std::wstring folder_;
  std::wstring vhd_;
  bool mounted_ = false;
};

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
  CreateDirectoryW(results.c_str(), nullptr);
  std::vector<Run> runs;
  if (!ReadRuns(root + L"tests.txt", &runs)) {
    std::printf("cannot read %s\n", Utf8(root + L"tests.txt").c_str());
    return 2;
  }
  const bool wine = testing_support::UnderWine();
  const bool elevated = testing_support::Elevated();
  std::printf("test bundle %s, %s, %s; logs in %s\n", Utf8(root).c_str(),
              wine ? "under Wine" : "on Windows",
              elevated ? "elevated" : "not elevated", Utf8(results).c_str());
  std::unique_ptr<FullVolume> volume;
  if (!wine && elevated) {
    volume = std::make_unique<FullVolume>(results);
    if (volume->mounted()) {
      SetEnvironmentVariableW(L"STUB_TEST_FULL_VOLUME",
                              volume->folder().c_str());
      std::printf("a small volume runs full at %s\n",
                  Utf8(volume->folder()).c_str());
    }
  }
  Counts total;
  for (const Run& run : runs) {
    std::fflush(stdout);
    const std::wstring log = results + Wide(run.name) + L".log";
    const std::wstring command = L"\"" + root + Wide(run.binary) + L"\" " +
                                 Wide(run.arguments);
    const long exit_code = RunOne(command, run.environment, log);
    bool summary = false;
    Counts counts = ReadLog(log, &summary);
    const bool failed = exit_code != 0 || counts.failed > 0 || !summary;
    if (failed && counts.failed == 0) counts.failed = 1;  // died early
    std::printf("%s: %s (%d passed, %d failed, %d skipped; exit code %ld)\n",
                run.name.c_str(), failed ? "FAILED" : "passed", counts.passed,
                counts.failed, counts.skipped, exit_code);
    total.passed += counts.passed;
    total.failed += counts.failed;
    total.skipped += counts.skipped;
  }
  volume.reset();
  std::printf("%d passed, %d failed, %d skipped\n", total.passed,
              total.failed, total.skipped);
  return total.failed > 0 ? 1 : 0;
}
