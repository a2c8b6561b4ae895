// A stand-in for the product's setup program, for this project's tests and
// demo only. It records what it was given (see README.md for the record,
// the patch format and the exit codes), optionally builds a "new setup
// program" from a patch, and exits with the code the test asked for.
#include <windows.h>
// After <windows.h>, which they need.
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "testing/run_program.h"
#include "testing/stand_in_setup/sha256.h"
#include "testing/stand_in_setup/utf8.h"

namespace {

constexpr DWORD kBadPatch = 201;
constexpr DWORD kNewSetupNotWritten = 202;
constexpr DWORD kRegistrationFailed = 203;
constexpr DWORD kRecordNotWritten = 204;
constexpr DWORD kBadExitCodeVariable = 205;
constexpr DWORD kBadArguments = 206;
constexpr DWORD kArchiveNotHeld = 207;
constexpr DWORD kFolderRenamed = 208;
constexpr DWORD kParentNotReached = 209;

constexpr char kPatchHeader[] = "STAND-IN-PATCH 1\n";
constexpr char kSelfPatchHeader[] = "STAND-IN-PATCH SELF\n";

// The switches whose values name files, as setup is given them.
constexpr const wchar_t* kFileSwitches[] = {
    L"install-archive", L"uncompressed-archive", L"update-setup-exe",
    L"new-setup-exe"};

using testing_support::Utf8;

bool Variable(const wchar_t* name, std::wstring* value) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return false;
  std::wstring buffer(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, buffer.data(), needed);
  buffer.resize(length);
  *value = buffer;
  return true;
}

// Decimal, or hexadecimal after "0x"; the whole text must be a number.
bool ParseExitCode(const std::wstring& text, DWORD* code) {
  size_t start = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' &&
      (text[1] == L'x' || text[1] == L'X')) {
    start = 2;
    base = 16;
  }
  if (start == text.size()) return false;
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const wchar_t unit = text[i];
    int digit;
    if (unit >= L'0' && unit <= L'9') {
      digit = unit - L'0';
    } else if (base == 16 && unit >= L'a' && unit <= L'f') {
      digit = unit - L'a' + 10;
    } else if (base == 16 && unit >= L'A' && unit <= L'F') {
      digit = unit - L'A' + 10;
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return false;
  }
  *code = static_cast<DWORD>(value);
  return true;
}

// Reads the whole file with every kind of sharing, so that recording never
// stands in the way of whoever else holds the file. 0 on success.
DWORD ReadBytes(const std::wstring& path, std::string* bytes) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  bytes->clear();
  char chunk[64 * 1024];
  DWORD got = 0;
  DWORD error = 0;
  for (;;) {
    if (!ReadFile(file, chunk, sizeof(chunk), &got, nullptr)) {
      error = GetLastError();
      break;
    }
    if (got == 0) break;
    bytes->append(chunk, got);
  }
  CloseHandle(file);
  return error;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes,
                DWORD disposition, DWORD access) {
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                nullptr) &&
      written == bytes.size();
  CloseHandle(file);
  return ok;
}

// The size of a file without reading it. 0 on success.
DWORD FileSize(const std::wstring& path, uint64_t* size) {
  HANDLE file =
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  LARGE_INTEGER length = {};
  const DWORD error = GetFileSizeEx(file, &length) ? 0 : GetLastError();
  CloseHandle(file);
  *size = static_cast<uint64_t>(length.QuadPart);
  return error;
}

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  const DWORD length =
      GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

// The system time with the best resolution the platform has, as 100 ns
// units since 1601.
uint64_t PreciseNow() {
  using PreciseTime = void(WINAPI*)(FILETIME*);
  FILETIME now = {};
  const auto precise = reinterpret_cast<PreciseTime>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                     "GetSystemTimePreciseAsFileTime")));
  if (precise != nullptr) {
    precise(&now);
  } else {
    GetSystemTimeAsFileTime(&now);
  }
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// stand_in_setup --register-installed GUID [--system-level] [--quoted]
DWORD RegisterInstalled(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 3) return kBadArguments;
  bool system_level = false;
  bool quoted = false;
  for (size_t i = 3; i < arguments.size(); ++i) {
    if (arguments[i] == L"--system-level") {
      system_level = true;
    } else if (arguments[i] == L"--quoted") {
      quoted = true;
    } else {
      return kBadArguments;
    }
  }
  const std::wstring key_path =
      L"Software\\Quivra\\Update\\ClientState\\" + arguments[2];
  std::wstring value = OwnPath();
  if (quoted) value = L"\"" + value + L"\"";
  HKEY key = nullptr;
  // A test that cannot register says why, in the registry's own words.
  LSTATUS status = RegCreateKeyExW(
      system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key_path.c_str(),
      0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "register-installed: creating the key failed with "
                         "Windows error %ld\n", static_cast<long>(status));
    return kRegistrationFailed;
  }
  status =
      RegSetValueExW(key, L"UninstallString", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "register-installed: writing UninstallString "
                         "failed with Windows error %ld\n",
                 static_cast<long>(status));
    return kRegistrationFailed;
  }
  return 0;
}

// stand_in_setup --hold PATH MILLISECONDS EVENT
// Opens PATH sharing reading only (the installer holds it for reading while
// setup runs), signals the inherited event EVENT (its handle value) once the
// file is held, and keeps it for MILLISECONDS.
DWORD HoldFile(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 5) return kBadArguments;
  const HANDLE ready = reinterpret_cast<HANDLE>(
      static_cast<uintptr_t>(std::wcstoull(arguments[4].c_str(), nullptr, 10)));
  HANDLE held = CreateFileW(arguments[2].c_str(), GENERIC_READ,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return kArchiveNotHeld;
  SetEvent(ready);
  Sleep(static_cast<DWORD>(std::wcstoul(arguments[3].c_str(), nullptr, 10)));
  CloseHandle(held);
  return 0;
}

// Leaves a child behind that holds `path` for `milliseconds` after this
// program has ended, as a setup program's helper may; returns once the
// child holds it. 0 on success.
DWORD LeaveFileHeld(const std::wstring& path, const std::wstring& milliseconds) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE ready = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
  if (ready == nullptr) return kArchiveNotHeld;
  std::wstring line = L"\"" + OwnPath() + L"\" --hold \"" + path + L"\" " +
                      milliseconds + L" " +
                      std::to_wstring(reinterpret_cast<uintptr_t>(ready));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  DWORD result = kArchiveNotHeld;
  if (testing_support::StartProgram(nullptr, line.data(), TRUE, &startup,
                                    &process)) {
    const HANDLE waits[] = {ready, process.hProcess};
    if (WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_OBJECT_0) {
      result = 0;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(ready);
  return result;
}

// What an attacker beside the installer would do once setup runs: move the
// work folder that holds `archive` away, so that a link could be put in its
// place. 0 when that is refused; kFolderRenamed, with the folder moved
// back, when it is not.
DWORD RenameOwnFolder(const std::wstring& archive, std::string* record) {
  const size_t cut = archive.find_last_of(L'\\');
  if (cut == std::wstring::npos) return kBadArguments;
  const std::wstring folder = archive.substr(0, cut);
  const std::wstring moved = folder + L".moved";
  if (!MoveFileExW(folder.c_str(), moved.c_str(), 0)) {
    *record += "folder_rename.error=" + std::to_string(GetLastError()) + "\n";
    return 0;
  }
  *record += "folder_rename=done\n";
  MoveFileExW(moved.c_str(), folder.c_str(), 0);
  return kFolderRenamed;
}

// Starts a thread in the installer that faults at once, as a hook or an
// injected library's thread may, and gives it a second to do its worst.
// 0 once the thread ran; kParentNotReached when it could not be started.
DWORD FaultInParent() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return kParentNotReached;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  DWORD parent_id = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) {
      parent_id = entry.th32ParentProcessID;
    }
  }
  CloseHandle(snapshot);
  const HANDLE parent = OpenProcess(
      PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
          PROCESS_VM_WRITE | PROCESS_VM_READ | SYNCHRONIZE,
      FALSE, parent_id);
  if (parent == nullptr) return kParentNotReached;
  // The first page of the address space is never mapped: the thread faults
  // on its first instruction.
  const auto nowhere = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      static_cast<uintptr_t>(0x10));
  const HANDLE thread =
      CreateRemoteThread(parent, nullptr, 0, nowhere, nullptr, 0, nullptr);
  DWORD result = kParentNotReached;
  if (thread != nullptr) {
    // Ends when the installer ends the thread's process; otherwise the
    // thread stays where the installer put it.
    WaitForSingleObject(thread, 1000);
    CloseHandle(thread);
    result = 0;
  }
  CloseHandle(parent);
  return result;
}

// Writes the new setup program that the patch describes. 0 on success.
DWORD ApplyPatch(const std::wstring& patch_path,
                 const std::wstring& new_setup_path, std::string* record) {
  std::string patch;
  if (ReadBytes(patch_path, &patch) != 0) return kBadPatch;
  std::string program;
  const std::string header(kPatchHeader);
  const std::string self_header(kSelfPatchHeader);
  if (patch.compare(0, header.size(), header) == 0) {
    program = patch.substr(header.size());
  } else if (patch == self_header) {
    if (ReadBytes(OwnPath(), &program) != 0) return kBadPatch;
  } else {
    return kBadPatch;
  }
  if (!WriteBytes(new_setup_path, program, CREATE_ALWAYS, GENERIC_WRITE)) {
    return kNewSetupNotWritten;
  }
  *record += "new_setup.written=" + std::to_string(program.size()) + "\n";
  return 0;
}

}  // namespace

int main() {
  const uint64_t started = PreciseNow();
  const wchar_t* command_line = GetCommandLineW();
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(command_line, &argc);
  std::vector<std::wstring> arguments;
  for (int i = 0; argv != nullptr && i < argc; ++i)
    arguments.push_back(argv[i]);
  if (argv != nullptr) LocalFree(argv);

  if (arguments.size() >= 2 && arguments[1] == L"--register-installed") {
    return static_cast<int>(RegisterInstalled(arguments));
  }
  if (arguments.size() >= 2 && arguments[1] == L"--hold") {
    return static_cast<int>(HoldFile(arguments));
  }

  std::string record = "started=" + std::to_string(started) + "\n";
  record += "command_line=" + Utf8(command_line) + "\n";
  std::wstring folder(32768, L'\0');
  folder.resize(
      GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  record += "current_folder=" + Utf8(folder) + "\n";
  record += "error_mode=" + std::to_string(GetErrorMode()) + "\n";
  record += "argc=" + std::to_string(arguments.size()) + "\n";
  for (size_t i = 0; i < arguments.size(); ++i) {
    record += "argv." + std::to_string(i) + "=" + Utf8(arguments[i]) + "\n";
  }

  // The first value of each file switch, its quotes already taken off by
  // the split.
  std::wstring named[std::size(kFileSwitches)];
  bool given[std::size(kFileSwitches)] = {};
  for (size_t i = 1; i < arguments.size(); ++i) {
    for (size_t s = 0; s < std::size(kFileSwitches); ++s) {
      const std::wstring prefix = std::wstring(L"--") + kFileSwitches[s] + L"=";
      if (!given[s] && arguments[i].compare(0, prefix.size(), prefix) == 0) {
        given[s] = true;
        named[s] = arguments[i].substr(prefix.size());
      }
    }
  }
  // Hashing a payload of hundreds of megabytes would dwarf what a
  // benchmark measures; without the hash only the size is taken.
  std::wstring no_hash;
  const bool hash = !Variable(L"STAND_IN_SETUP_NO_HASH", &no_hash) ||
                    no_hash != L"1";
  for (size_t s = 0; s < std::size(kFileSwitches); ++s) {
    if (!given[s]) continue;
    const std::string key = Utf8(kFileSwitches[s]);
    record += key + ".path=" + Utf8(named[s]) + "\n";
    if (!hash) {
      uint64_t size = 0;
      const DWORD error = FileSize(named[s], &size);
      record += key + (error != 0 ? ".error=" + std::to_string(error)
                                  : ".size=" + std::to_string(size)) +
                "\n";
      continue;
    }
    std::string bytes;
    const DWORD error = ReadBytes(named[s], &bytes);
    if (error != 0) {
      record += key + ".error=" + std::to_string(error) + "\n";
    } else {
      record += key + ".size=" + std::to_string(bytes.size()) + "\n";
      record += key + ".sha256=" + testing_support::Sha256Hex(bytes) + "\n";
    }
  }

  DWORD exit_code = 0;
  std::wstring requested;
  if (Variable(L"STAND_IN_SETUP_EXIT_CODE", &requested) &&
      !ParseExitCode(requested, &exit_code)) {
    exit_code = kBadExitCodeVariable;
  }

  const bool self_update = given[2] && given[3];
  record +=
      std::string("mode=") + (self_update ? "self-update" : "install") + "\n";
  if (self_update) {
    const DWORD applied = ApplyPatch(named[2], named[3], &record);
    if (applied != 0) exit_code = applied;
  }
  // The archive, by either switch, stays held after this program ends.
  std::wstring hold;
  const int archive = given[0] ? 0 : given[1] ? 1 : -1;
  if (Variable(L"STAND_IN_SETUP_HOLD_ARCHIVE", &hold) && archive >= 0) {
    const DWORD held = LeaveFileHeld(named[archive], hold);
    if (held != 0) exit_code = held;
  }
  std::wstring trick;
  if (Variable(L"STAND_IN_SETUP_TRICK", &trick)) {
    DWORD tricked = kBadArguments;
    if (trick == L"rename-folder" && archive >= 0) {
      tricked = RenameOwnFolder(named[archive], &record);
    } else if (trick == L"fault-parent") {
      tricked = FaultInParent();
    }
    if (tricked != 0) exit_code = tricked;
  }
  record += "exit_code=" + std::to_string(exit_code) + "\n";

  std::wstring record_path;
  if (Variable(L"STAND_IN_SETUP_RECORD", &record_path) &&
      !WriteBytes(record_path, record, OPEN_ALWAYS, FILE_APPEND_DATA)) {
    exit_code = kRecordNotWritten;
  }
  return static_cast<int>(exit_code);
}
