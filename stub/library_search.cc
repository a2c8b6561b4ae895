#include "stub/library_search.h"

#include <windows.h>

namespace installer {

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32, which the headers declare only for newer
// targets than the installer's.
constexpr DWORD kSearchSystemFolder = 0x00000800;

using SetDefaultDllDirectoriesFunction = BOOL WINAPI(DWORD flags);

}  // namespace

void RestrictLibrarySearch() {
  // Looked up, not imported: an import that a system lacks keeps the
  // program from starting at all.
  const auto set_default_directories =
      reinterpret_cast<SetDefaultDllDirectoriesFunction*>(
          reinterpret_cast<void*>(GetProcAddress(
              GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_default_directories != nullptr &&
      set_default_directories(kSearchSystemFolder)) {
    return;
  }
  SetDllDirectoryW(L"");
}

}  // namespace installer
