#include "support/registry_key.h"

#include "support/installer_contract.h"
#include "support/registry_text.h"

namespace installer {

namespace {

// The byte count handed to the registry is 32 bits wide; a larger buffer is
// simply offered in part, which is always safe.
DWORD ByteCapacity(uint64_t capacity) {
  constexpr uint64_t kLargestUnits = MAXDWORD / 2;
  return static_cast<DWORD>((capacity < kLargestUnits ? capacity
                                                      : kLargestUnits) *
                            2);
}

}  // namespace

RegistryKey::RegistryKey() = default;

uint32_t RegistryKey::Open(HKEY root, const wchar_t* sub_key, REGSAM access) {
  const LSTATUS status = RegOpenKeyExW(root, sub_key, 0, access, key_.Put());
  // Whatever a failed open left there is no key.
  if (status != ERROR_SUCCESS) static_cast<void>(key_.Release());
  return static_cast<uint32_t>(status);
}

uint32_t RegistryKey::ReadText(const wchar_t* name, wchar_t* buffer,
                               uint64_t capacity) {
  DWORD type = REG_NONE;
  DWORD size = ByteCapacity(capacity);
  const LSTATUS status = RegQueryValueExW(
      key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  if (type != REG_SZ) return kErrorNotSupported;
  return TerminateRegistryText(buffer, capacity, size) ? 0 : kErrorMoreData;
}

uint32_t RegistryKey::ReadNumber(const wchar_t* name, uint32_t* value) {
  DWORD type = REG_NONE;
  DWORD size = sizeof(uint32_t);
  const LSTATUS status = RegQueryValueExW(
      key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  if (type != REG_DWORD) return kErrorNotSupported;
  return size == sizeof(uint32_t) ? 0 : kErrorNoData;
}

uint32_t RegistryKey::WriteText(const wchar_t* name, const wchar_t* text) {
  const DWORD size =
      static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t));
  return static_cast<uint32_t>(RegSetValueExW(
      key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size));
}

uint32_t RegistryKey::WriteNumber(const wchar_t* name, uint32_t value) {
  return static_cast<uint32_t>(
      RegSetValueExW(key_.get(), name, 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

bool ReadRegistryTextOnce(HKEY root, const wchar_t* sub_key,
                          const wchar_t* value_name, wchar_t* buffer,
                          uint64_t capacity) {
  RegistryKey key;
  return key.Open(root, sub_key, KEY_QUERY_VALUE) == 0 &&
         key.ReadText(value_name, buffer, capacity) == 0;
}

}  // namespace installer
