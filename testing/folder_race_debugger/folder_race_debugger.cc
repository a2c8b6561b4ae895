// folder_race_debugger INSTALLER REPORT
//
// Runs INSTALLER under a debugger, standing in for an unlucky preemption
// while another program of the same user watches its folder. A breakpoint
// on ntdll's NtCreateFile stops the installer whenever it is about to make
// a "KV_?????.tmp" folder beside itself, by a name relative to a folder
// handle or by a full path:
// - the first time, before the folder is made, the debugger makes a plain
//   folder of its own at that very name, as someone who guessed it would;
// - the next time, once the call has returned with the new folder, and
//   again when the installer next calls NtCreateFile (where an installer
//   that makes its folder first and holds it with a second open is between
//   the two), the debugger tries to rename that folder away and put a
//   plain folder of its own at its name.
// When the installer has ended, the debugger checks that its own folder is
// still there and empty, removes it, writes REPORT (UTF-8, "key=value"
// lines: folder_calls, made_first, second, taken_at_return,
// taken_before_next_open, kept) and exits with the installer's exit code;
// 0x80000000 and more when the debugging itself failed. What a successful
// attack leaves (the moved folder, the attacker's) stays for the test to
// see.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "testing/stand_in_setup/utf8.h"

namespace {

constexpr DWORD kDebuggingFailed = 0x80000000u;
constexpr uint8_t kInt3 = 0xCC;
constexpr DWORD kTrapFlag = 0x100;
constexpr ULONG kFileCreate = 2;            // NtCreateFile's FILE_CREATE
constexpr ULONG kFileDirectoryFile = 0x1;   // and FILE_DIRECTORY_FILE

using testing_support::Utf8;

template <typename T>
bool Read(HANDLE process, uint64_t address, T* value) {
  SIZE_T read = 0;
  return ReadProcessMemory(process, reinterpret_cast<void*>(address), value,
                           sizeof(T), &read) &&
         read == sizeof(T);
}

bool Patch(HANDLE process, uint64_t address, uint8_t byte, uint8_t* old) {
  if (old != nullptr && !Read(process, address, old)) return false;
  SIZE_T written = 0;
  const bool patched =
      WriteProcessMemory(process, reinterpret_cast<void*>(address), &byte, 1,
                         &written) &&
      written == 1;
  FlushInstructionCache(process, reinterpret_cast<void*>(address), 1);
  return patched;
}

// Whether the module at `base` in `process` exports under the name
// "ntdll.dll", as its export directory says.
bool IsNtdll(HANDLE process, uint64_t base) {
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS64 nt;
  IMAGE_EXPORT_DIRECTORY exports;
  if (!Read(process, base, &dos) || !Read(process, base + dos.e_lfanew, &nt)) {
    return false;
  }
  const IMAGE_DATA_DIRECTORY& directory =
      nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0 ||
      !Read(process, base + directory.VirtualAddress, &exports)) {
    return false;
  }
  char name[16] = {};
  SIZE_T read = 0;
  ReadProcessMemory(process, reinterpret_cast<void*>(base + exports.Name),
                    name, sizeof(name) - 1, &read);
  return lstrcmpiA(name, "ntdll.dll") == 0;
}

// The new folder's name, when the stopped call makes a "KV_?????.tmp"
// folder (named alone, relative to a folder handle, or at the end of a full
// path); empty otherwise.
std::wstring FolderBeingMade(HANDLE process, const CONTEXT& context) {
  ULONG disposition = 0;
  ULONG options = 0;
  // OBJECT_ATTRIBUTES and UNICODE_STRING as a 64-bit process lays them out.
  struct Attributes {
    ULONG length;
    HANDLE root;
    uint64_t name;
    ULONG attributes;
    void* descriptor;
    void* quality;
  } attributes;
  struct Name {
    USHORT length;
    USHORT maximum;
    uint64_t buffer;
  } name;
  if (!Read(process, context.Rsp + 0x40, &disposition) ||
      !Read(process, context.Rsp + 0x48, &options) ||
      disposition != kFileCreate || (options & kFileDirectoryFile) == 0 ||
      !Read(process, context.R8, &attributes) || attributes.name == 0 ||
      !Read(process, attributes.name, &name) ||
      name.length < 12 * sizeof(wchar_t)) {
    return L"";
  }
  wchar_t text[13] = {};
  SIZE_T read = 0;
  const uint64_t last = name.buffer + name.length - 12 * sizeof(wchar_t);
  if (!ReadProcessMemory(process, reinterpret_cast<void*>(last), text,
                         12 * sizeof(wchar_t), &read) ||
      read != 12 * sizeof(wchar_t)) {
    return L"";
  }
  const std::wstring folder(text, 12);
  if (folder.compare(0, 3, L"KV_") != 0 || folder.compare(8, 4, L".tmp") != 0) {
    return L"";
  }
  return folder;
}

// Renames `made` away and, when that works, puts a plain folder of the
// attacker's at its name: "refused <error>" or "yes".
std::wstring TakeAway(const std::wstring& made) {
  if (!MoveFileExW(made.c_str(), (made + L".moved").c_str(), 0)) {
    return L"refused " + std::to_wstring(GetLastError());
  }
  CreateDirectoryW(made.c_str(), nullptr);
  return L"yes";
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 3) {
    std::fprintf(stderr, "usage: folder_race_debugger INSTALLER REPORT\n");
    return 2;
  }
  const std::wstring installer = argv[1];
  const std::wstring report_path = argv[2];
  const std::wstring folder = installer.substr(0, installer.rfind(L'\\') + 1);

  // Where NtCreateFile lies in ntdll: the same file in both processes.
  const HMODULE own_ntdll = GetModuleHandleW(L"ntdll.dll");
  const uint64_t entry_offset =
      reinterpret_cast<uint64_t>(GetProcAddress(own_ntdll, "NtCreateFile")) -
      reinterpret_cast<uint64_t>(own_ntdll);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  std::wstring line = L"\"" + installer + L"\"";
  if (!CreateProcessW(installer.c_str(), line.data(), nullptr, nullptr, FALSE,
                      DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup,
                      &started)) {
    return static_cast<int>(kDebuggingFailed | GetLastError());
  }
  CloseHandle(started.hThread);
  const HANDLE process = started.hProcess;

  uint64_t entry = 0;           // NtCreateFile's entry in the installer
  uint8_t entry_byte = 0;       // what the breakpoint there replaced
  uint64_t return_address = 0;  // a breakpoint after the second folder call
  uint8_t return_byte = 0;
  DWORD stepping_thread = 0;    // steps over the entry breakpoint
  int folder_calls = 0;
  std::wstring made_first;      // the debugger's own folder
  std::wstring second;
  // Armed once the second folder call has returned with its folder: the
  // next call of NtCreateFile is where a second open would hold it.
  bool armed = false;
  std::wstring at_return = L"not tried";
  std::wstring before_next_open = L"not tried";
  DWORD exit_code = kDebuggingFailed;

  for (bool running = true; running;) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, INFINITE)) break;
    DWORD answer = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) {
          CloseHandle(event.u.CreateProcessInfo.hFile);
        }
        break;
      case LOAD_DLL_DEBUG_EVENT: {
        const uint64_t base =
            reinterpret_cast<uint64_t>(event.u.LoadDll.lpBaseOfDll);
        if (event.u.LoadDll.hFile != nullptr) {
          CloseHandle(event.u.LoadDll.hFile);
        }
        if (entry == 0 && IsNtdll(process, base)) {
          entry = base + entry_offset;
          if (!Patch(process, entry, kInt3, &entry_byte)) entry = 0;
        }
        break;
      }
      case EXCEPTION_DEBUG_EVENT: {
        const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
        const uint64_t at = reinterpret_cast<uint64_t>(record.ExceptionAddress);
        const HANDLE thread =
            OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE,
                       event.dwThreadId);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_FULL;
        if (record.ExceptionCode == EXCEPTION_BREAKPOINT && at == entry &&
            entry != 0 && thread != nullptr &&
            GetThreadContext(thread, &context)) {
          const std::wstring name = FolderBeingMade(process, context);
          if (armed) {
            armed = false;
            before_next_open = TakeAway(folder + second);
          }
          if (!name.empty() && ++folder_calls == 1) {
            // Someone else's folder, made first at the name drawn.
            made_first = name;
            CreateDirectoryW((folder + name).c_str(), nullptr);
          } else if (!name.empty() && folder_calls == 2) {
            second = name;
            Read(process, context.Rsp, &return_address);
            if (!Patch(process, return_address, kInt3, &return_byte)) {
              return_address = 0;
            }
          }
          // Over the entry once, then the breakpoint goes back.
          Patch(process, entry, entry_byte, nullptr);
          context.Rip = entry;
          context.EFlags |= kTrapFlag;
          SetThreadContext(thread, &context);
          stepping_thread = event.dwThreadId;
        } else if (record.ExceptionCode == EXCEPTION_BREAKPOINT &&
                   at == return_address && return_address != 0 &&
                   thread != nullptr && GetThreadContext(thread, &context)) {
          Patch(process, return_address, return_byte, nullptr);
          context.Rip = return_address;
          SetThreadContext(thread, &context);
          return_address = 0;
          if (static_cast<LONG>(context.Rax) >= 0) {
            // The folder the installer has just made: moved away, and a
            // plain one of the attacker's put at its name.
            at_return = TakeAway(folder + second);
            armed = at_return != L"yes";
          }
        } else if (record.ExceptionCode == EXCEPTION_SINGLE_STEP &&
                   event.dwThreadId == stepping_thread && thread != nullptr &&
                   GetThreadContext(thread, &context)) {
          context.EFlags &= ~kTrapFlag;
          SetThreadContext(thread, &context);
          Patch(process, entry, kInt3, nullptr);
          stepping_thread = 0;
        } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
          // The installer's own exceptions are its to handle.
          answer = DBG_EXCEPTION_NOT_HANDLED;
        }
        if (thread != nullptr) CloseHandle(thread);
        break;
      }
      case EXIT_PROCESS_DEBUG_EVENT:
        exit_code = event.u.ExitProcess.dwExitCode;
        running = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, answer);
  }
  CloseHandle(process);

  // The debugger's own folder: the installer neither used nor removed it.
  std::wstring kept = L"no";
  if (!made_first.empty()) {
    const std::wstring own = folder + made_first;
    const DWORD attributes = GetFileAttributesW(own.c_str());
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((own + L"\\*").c_str(), &found);
    int entries = 0;
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (lstrcmpW(found.cFileName, L".") != 0 &&
            lstrcmpW(found.cFileName, L"..") != 0) {
          ++entries;
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && entries == 0) {
      kept = L"yes";
    }
    RemoveDirectoryW(own.c_str());
  }
  const std::string report =
      "folder_calls=" + std::to_string(folder_calls) + "\n" +
      "made_first=" + Utf8(made_first) + "\n" +
      "second=" + Utf8(second) + "\n" +
      "taken_at_return=" + Utf8(at_return) + "\n" +
      "taken_before_next_open=" + Utf8(before_next_open) + "\n" +
      "kept=" + Utf8(kept) + "\n";
  testing_support::WriteReport(report_path, report);
  return static_cast<int>(exit_code);
}
