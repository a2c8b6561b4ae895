#include "support/random_bytes.h"

#include <windows.h>

namespace installer {

namespace {

// RtlGenRandom, which advapi32 exports only under the name
// "SystemFunction036".
using RandomFunction = BOOLEAN WINAPI(PVOID buffer, ULONG length);

}  // namespace

bool FillRandomBytes(void* buffer, uint32_t size) {
  // Looked up, not imported: Windows forwards the export to cryptbase.dll,
  // which is no known DLL, and the loader resolves an import before the
  // entry point can keep it from searching beside the installer.
  const auto random_bytes = reinterpret_cast<RandomFunction*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"),
                                             "SystemFunction036")));
  return random_bytes != nullptr && random_bytes(buffer, size) != FALSE;
}

}  // namespace installer
