// FillBytes stores the low byte of the value into exactly `count` bytes and
// returns the buffer.
#include <stddef.h>
#include <stdint.h>

#include <memory>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const size_t count = input.Word() % 2100;
  const int value = static_cast<int>(input.Dword());
  const size_t spare = input.Byte() % 4;
  // The bytes after `count` belong to the caller and must stay as they are.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[count + spare]);
  for (size_t i = 0; i < count + spare; ++i) buffer[i] = 0x5A;
  FUZZ_CHECK(installer::FillBytes(buffer.get(), value, count) == buffer.get());
  for (size_t i = 0; i < count; ++i)
    FUZZ_CHECK(buffer[i] == static_cast<uint8_t>(value & 0xFF));
  for (size_t i = count; i < count + spare; ++i) FUZZ_CHECK(buffer[i] == 0x5A);
  return 0;
}
