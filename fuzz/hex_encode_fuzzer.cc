// HexEncode writes 2 * count upper-case digits that decode back to the bytes
// and a terminator, or nothing at all when they do not fit.
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

namespace {

int DigitValue(wchar_t unit) {
  if (unit >= L'0' && unit <= L'9') return unit - L'0';
  if (unit >= L'A' && unit <= L'F') return unit - L'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const size_t count = input.Byte() % 200;
  const uint64_t capacity = input.Word() % 420;
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = input.Byte();

  fuzzing::ExactUnits destination(capacity);
  for (size_t i = 0; i < capacity; ++i) destination[i] = fuzzing::kFiller;
  const bool encoded =
      installer::HexEncode(bytes.data(), count, destination.data(), capacity);
  FUZZ_CHECK(encoded == (capacity > 2 * count));
  if (!encoded) {
    for (size_t i = 0; i < capacity; ++i)
      FUZZ_CHECK(destination[i] == fuzzing::kFiller);
    return 0;
  }
  for (size_t i = 0; i < count; ++i) {
    const int high = DigitValue(destination[2 * i]);
    const int low = DigitValue(destination[2 * i + 1]);
    FUZZ_CHECK(high >= 0 && low >= 0);
    FUZZ_CHECK(((high << 4) | low) == bytes[i]);
  }
  FUZZ_CHECK(destination[2 * count] == 0);
  for (size_t i = 2 * count + 1; i < capacity; ++i)
    FUZZ_CHECK(destination[i] == fuzzing::kFiller);
  return 0;
}
