#include "support/registry_text.h"

namespace installer {

bool TerminateRegistryText(wchar_t* buffer, uint64_t capacity,
                           uint32_t returned_bytes) {
  if (buffer == nullptr || capacity == 0) return false;
  // No platform call returns more than it was given; a size beyond the
  // buffer (more than 2 * capacity bytes) can only come from a caller's
  // mistake and must not be trusted.
  if ((static_cast<uint64_t>(returned_bytes) + 1) / 2 > capacity) return false;
  if (returned_bytes < 2) {
    buffer[0] = 0;
    return true;
  }
  // A trailing odd byte is half a unit and is dropped.
  const uint64_t units = returned_bytes / 2;
  if (buffer[units - 1] == 0) return true;
  if (units < capacity) {
    buffer[units] = 0;
    return true;
  }
  return false;
}

}  // namespace installer
