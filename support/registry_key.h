// Registry access for the whole stub: one open key with typed reads and
// writes, and a one-shot read of a single text value. Keys are only ever
// opened, never created or deleted. Every result is a Windows status: the
// platform's own, or ERROR_NOT_SUPPORTED for a value of another type,
// ERROR_NO_DATA for a REG_DWORD of the wrong size and ERROR_MORE_DATA for a
// text that does not fit its buffer with a terminator.
#ifndef SUPPORT_REGISTRY_KEY_H_
#define SUPPORT_REGISTRY_KEY_H_

#include <windows.h>
#include <stdint.h>

#include "support/unique_resource.h"

namespace installer {

// Closes its key when it goes.
class RegistryKey {
 public:
  RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Closes any key still held first. On failure nothing is held.
  uint32_t Open(HKEY root, const wchar_t* sub_key, REGSAM access);
  void Close() { key_.Reset(); }
  bool IsOpen() const { return key_.IsValid(); }
  HKEY handle() const { return key_.get(); }

  // A REG_SZ value into `capacity` units; on success the buffer holds a
  // terminated text. After a failure it may hold the raw stored bytes.
  uint32_t ReadText(const wchar_t* name, wchar_t* buffer, uint64_t capacity);
  // A REG_DWORD value of exactly 4 bytes; `value` means something only when
  // the result is 0.
  uint32_t ReadNumber(const wchar_t* name, uint32_t* value);
  // Stores the terminator with the text.
  uint32_t WriteText(const wchar_t* name, const wchar_t* text);
  uint32_t WriteNumber(const wchar_t* name, uint32_t value);

 private:
  UniqueRegistryKey key_;
};

// Opens root\sub_key in the native view for query only, reads one REG_SZ
// value as ReadText does, and closes the key again.
bool ReadRegistryTextOnce(HKEY root, const wchar_t* sub_key,
                          const wchar_t* value_name, wchar_t* buffer,
                          uint64_t capacity);

}  // namespace installer

#endif  // SUPPORT_REGISTRY_KEY_H_
