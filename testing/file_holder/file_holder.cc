// file_holder PATH MILLISECONDS
// Opens PATH with no sharing at all, creates "PATH.ready" once the file is
// held, keeps it for MILLISECONDS and exits 0. Exits 1 on bad arguments and 2
// when PATH cannot be opened.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 3) return 1;
  const std::wstring path = argv[1];
  const DWORD milliseconds =
      static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  LocalFree(argv);

  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 2;
  HANDLE ready =
      CreateFileW((path + L".ready").c_str(), GENERIC_WRITE, 0, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  Sleep(milliseconds);
  CloseHandle(held);
  return 0;
}
