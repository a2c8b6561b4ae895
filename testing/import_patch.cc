#include "testing/import_patch.h"

#include <string.h>

namespace testing_support {

namespace {

void** FindImportSlot(const char* dll, const char* function) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return nullptr;
  auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(
      base + directory.VirtualAddress);
  for (; descriptor->Name != 0; ++descriptor) {
    const char* name = reinterpret_cast<const char*>(base + descriptor->Name);
    if (_stricmp(name, dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (descriptor->OriginalFirstThunk != 0
                    ? descriptor->OriginalFirstThunk
                    : descriptor->FirstThunk));
    auto* slots =
        reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(
          base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0)
        return reinterpret_cast<void**>(&slots->u1.Function);
    }
  }
  return nullptr;
}

void WriteSlot(void** slot, void* value) {
  DWORD old_protection = 0;
  VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old_protection);
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old_protection, &old_protection);
}

}  // namespace

namespace {

const char* g_looked_up_name;
void* g_lookup_answer;
FARPROC(WINAPI* g_real_lookup)(HMODULE, LPCSTR);

FARPROC WINAPI PatchedLookup(HMODULE module, LPCSTR name) {
  // A name below 0x10000 is an ordinal, not a text.
  if (reinterpret_cast<uintptr_t>(name) > 0xFFFF &&
      strcmp(name, g_looked_up_name) == 0) {
    return reinterpret_cast<FARPROC>(g_lookup_answer);
  }
  return g_real_lookup(module, name);
}

}  // namespace

LookupPatch::LookupPatch(const char* function, void* replacement)
    : patch_("kernel32.dll", "GetProcAddress",
             reinterpret_cast<void*>(&PatchedLookup)) {
  g_looked_up_name = function;
  g_lookup_answer = replacement;
  g_real_lookup = patch_.original<FARPROC(WINAPI*)(HMODULE, LPCSTR)>();
}

LookupPatch::~LookupPatch() = default;

ImportPatch::ImportPatch(const char* dll, const char* function,
                         void* replacement) {
  slot_ = FindImportSlot(dll, function);
  if (slot_ == nullptr) return;
  original_ = *slot_;
  WriteSlot(slot_, replacement);
}

ImportPatch::~ImportPatch() {
  if (slot_ != nullptr) WriteSlot(slot_, original_);
}

}  // namespace testing_support
