#include "stub/image_pages.h"

namespace installer {

namespace {

// Every page size that Windows uses for image sections on x64.
constexpr uintptr_t kPageSize = 0x1000;

// The copy-on-write counterpart of a page's protection: a write to such a
// page of a mapped view makes a private copy of the page for the process.
DWORD CopyOnWrite(DWORD protection) {
  const DWORD kept = protection & ~0xFFu;
  switch (protection & 0xFF) {
    case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return kept | PAGE_EXECUTE_WRITECOPY;
    default:
      return kept | PAGE_WRITECOPY;
  }
}

// Pages [first, first + size) share one protection.
void DetachPages(uintptr_t first, uintptr_t size) {
  void* const start = reinterpret_cast<void*>(first);
  if (VirtualLock(start, size)) return;
  // Beyond the quota of locked pages, or where a system refuses to lock
  // them: made the process's own instead.
  MEMORY_BASIC_INFORMATION info;
  DWORD old_protection = 0;
  if (VirtualQuery(start, &info, sizeof(info)) == sizeof(info) &&
      VirtualProtect(start, size, CopyOnWrite(info.Protect), &old_protection)) {
    for (uintptr_t page = first; page < first + size; page += kPageSize) {
      volatile uint8_t* byte = reinterpret_cast<volatile uint8_t*>(page);
      *byte = *byte;
    }
    VirtualProtect(start, size, old_protection, &old_protection);
  }
}

}  // namespace

void DetachRangeFromFile(const void* start, uint64_t size) {
  if (start == nullptr || size == 0) return;
  const uintptr_t first = reinterpret_cast<uintptr_t>(start) & ~(kPageSize - 1);
  const uintptr_t end =
      (reinterpret_cast<uintptr_t>(start) + size + kPageSize - 1) &
      ~(kPageSize - 1);
  DetachPages(first, end - first);
}

void DetachImageFromFile(HMODULE module) {
  const auto base = reinterpret_cast<uintptr_t>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& resources =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  const WORD count = nt->FileHeader.NumberOfSections;
  DetachRangeFromFile(module, nt->OptionalHeader.SizeOfHeaders);
  for (WORD i = 0; i < count; ++i) {
    const IMAGE_SECTION_HEADER& section = sections[i];
    const DWORD size = section.Misc.VirtualSize;
    const bool holds_resources =
        resources.VirtualAddress >= section.VirtualAddress &&
        resources.VirtualAddress < section.VirtualAddress + size;
    if (size == 0 || holds_resources ||
        (section.Characteristics & IMAGE_SCN_MEM_DISCARDABLE) != 0) {
      continue;
    }
    DetachRangeFromFile(reinterpret_cast<const void*>(base +
                                                      section.VirtualAddress),
                        size);
  }
}

}  // namespace installer
