// Whatever size the registry claims to have returned, TerminateRegistryText
// stays inside the caller's `capacity` units, changes at most one unit and
// only to a terminator, reports success only for a text terminated within
// the capacity that is the stored data itself (never cut short), and accepts
// every text that fits with its terminator.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/registry_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint64_t capacity = 1 + input.Word() % 1100;
  const uint8_t mode = input.Byte();
  // Sizes around the buffer's own are the interesting ones; any 32-bit size
  // must be safe too.
  uint32_t returned_bytes;
  switch (mode & 3) {
    case 0:
      returned_bytes = input.Dword();
      break;
    case 1:
      returned_bytes = input.Byte();
      break;
    default:
      returned_bytes = static_cast<uint32_t>(2 * capacity +
                                             static_cast<int8_t>(input.Byte()));
      break;
  }
  const std::vector<wchar_t> stored = input.Rest(capacity);

  // Exactly `capacity` units: a registry buffer has no guard unit of its
  // own, and AddressSanitizer reports a touch of unit `capacity`.
  fuzzing::ExactUnits buffer(capacity);
  for (size_t i = 0; i < capacity; ++i) {
    buffer[i] =
        i < stored.size() ? stored[i] : ((mode & 4) ? 0 : fuzzing::kFiller);
  }
  const std::vector<wchar_t> before = buffer.Snapshot();
  const bool terminated =
      installer::TerminateRegistryText(buffer.data(), capacity, returned_bytes);

  size_t changed = 0;
  for (size_t i = 0; i < capacity; ++i) {
    if (buffer[i] != before[i]) {
      ++changed;
      FUZZ_CHECK(buffer[i] == 0);
    }
  }
  FUZZ_CHECK(changed <= 1);

  const uint64_t returned_units = returned_bytes / 2;  // a lone byte is no unit
  if (!terminated) {
    FUZZ_CHECK(changed == 0);
    // Refused only when the text and a terminator cannot both fit, or the
    // size claims more than the buffer holds.
    FUZZ_CHECK(returned_units >= capacity ||
               static_cast<uint64_t>(returned_bytes) > 2 * capacity);
    return 0;
  }

  FUZZ_CHECK(static_cast<uint64_t>(returned_bytes) <= 2 * capacity);
  size_t length = capacity;
  for (size_t i = 0; i < capacity; ++i) {
    if (buffer[i] == 0) {
      length = i;
      break;
    }
  }
  FUZZ_CHECK(length < capacity);
  // The text is the returned data: it ends no later than the returned
  // units, and where the data held no zero it ends exactly there.
  FUZZ_CHECK(length <= returned_units);
  bool data_has_zero = false;
  for (size_t i = 0; i < returned_units; ++i) data_has_zero |= before[i] == 0;
  if (!data_has_zero) FUZZ_CHECK(length == returned_units);
  for (size_t i = 0; i < length; ++i) FUZZ_CHECK(buffer[i] == before[i]);
  return 0;
}
