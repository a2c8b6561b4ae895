// work_folder_writer FOLDER REPORT READY_EVENT STOP_EVENT [DONE_FILE]
//
// Stands in for another program of the same user beside a running
// installer, one that may write in its work folder (under Wine any program
// of the user's; on Windows one whose token the folder admits). It watches
// FOLDER for "KV_*.tmp" folders and, in each, tries again and again to
// rename every file away as it appears ("<name>.stolen") and to put a file
// of its own at the name, as the attack on outputs shared for deletion did.
// It sets the named event READY_EVENT once it watches, stops trying once
// DONE_FILE exists (when given: say, the record that setup writes as it
// ends), stops when the named event STOP_EVENT is set, and writes REPORT
// (UTF-8 "key=value" lines: attempts, taken, taken_names, last_error) before
// it exits 0; 2 on bad arguments.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "testing/stand_in_setup/utf8.h"

namespace {

// The folders (or, without `folders`, the files) in `folder`, which ends in
// a backslash, that match `pattern`.
std::vector<std::wstring> Names(const std::wstring& folder,
                                const wchar_t* pattern, bool folders) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    const bool is_folder =
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (name != L"." && name != L".." && is_folder == folders) {
      names.push_back(name);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

using testing_support::Utf8;

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || (argc != 5 && argc != 6)) return 2;
  const std::wstring done = argc == 6 ? argv[5] : L"";
  std::wstring folder = argv[1];
  if (folder.back() != L'\\') folder += L'\\';
  const std::wstring report_path = argv[2];
  const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
  const HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
  LocalFree(argv);
  if (ready == nullptr || stop == nullptr) return 2;
  SetEvent(ready);

  unsigned attempts = 0;
  unsigned taken = 0;
  std::wstring taken_names;
  DWORD last_error = 0;
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    if (!done.empty() &&
        GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES) {
      WaitForSingleObject(stop, INFINITE);
      break;
    }
    for (const std::wstring& work : Names(folder, L"KV_*.tmp", true)) {
      const std::wstring inside = folder + work + L"\\";
      for (const std::wstring& name : Names(inside, L"*", false)) {
        if (EndsWith(name, L".stolen")) continue;
        const std::wstring path = inside + name;
        ++attempts;
        if (!MoveFileExW(path.c_str(), (path + L".stolen").c_str(), 0)) {
          last_error = GetLastError();
          continue;
        }
        ++taken;
        taken_names += (taken_names.empty() ? L"" : L" ") + name;
        const HANDLE own = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                       nullptr);
        if (own != INVALID_HANDLE_VALUE) {
          DWORD written = 0;
          WriteFile(own, "MZ not the product's", 20, &written, nullptr);
          CloseHandle(own);
        }
      }
    }
  }
  const std::string report = "attempts=" + std::to_string(attempts) + "\n" +
                             "taken=" + std::to_string(taken) + "\n" +
                             "taken_names=" + Utf8(taken_names) + "\n" +
                             "last_error=" + std::to_string(last_error) + "\n";
  testing_support::WriteReport(report_path, report);
  return 0;
}
