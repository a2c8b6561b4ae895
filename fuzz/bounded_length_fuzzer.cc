// BoundedLength never reports more than capacity - 1 units, never reads unit
// capacity - 1 or beyond, and reports the first zero unit when there is one.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

namespace {

using fuzzing::ExactUnits;
using fuzzing::Fenced;

template <uint64_t N>
void CheckMemberLength(const std::vector<wchar_t>& units) {
  Fenced<N> buffer;
  // All N units from the input, so the text may lack a terminator below N.
  for (uint64_t i = 0; i < N; ++i) {
    buffer.units()[i] = i < units.size() ? units[i] : fuzzing::kFiller;
  }
  const uint64_t length = buffer->Length();
  FUZZ_CHECK(length <= N - 1);
  for (uint64_t i = 0; i < length; ++i) FUZZ_CHECK(buffer.units()[i] != 0);
  FUZZ_CHECK(length == N - 1 || buffer.units()[length] == 0);
  FUZZ_CHECK(buffer->IsEmpty() == (buffer.units()[0] == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint64_t capacity = input.Word() % 1100;
  const uint8_t flags = input.Byte();
  const std::vector<wchar_t> units = input.Rest(1100);

  FUZZ_CHECK(installer::BoundedLength(nullptr, capacity) == 0);

  // Only units 0 to capacity - 2 may be read: the array ends there.
  const size_t readable = capacity >= 2 ? capacity - 1 : 0;
  ExactUnits text(readable);
  for (size_t i = 0; i < readable; ++i) {
    text[i] =
        i < units.size() ? units[i] : ((flags & 1) ? 0 : fuzzing::kFiller);
  }
  const uint64_t length = installer::BoundedLength(text.data(), capacity);
  if (capacity < 2) {
    FUZZ_CHECK(length == 0);
  } else {
    FUZZ_CHECK(length <= capacity - 1);
    for (uint64_t i = 0; i < length; ++i) FUZZ_CHECK(text[i] != 0);
    FUZZ_CHECK(length == capacity - 1 || text[length] == 0);
  }

  switch (flags >> 5) {
    case 0:
      CheckMemberLength<1>(units);
      break;
    case 1:
      CheckMemberLength<2>(units);
      break;
    case 2:
      CheckMemberLength<3>(units);
      break;
    case 3:
      CheckMemberLength<7>(units);
      break;
    case 4:
      CheckMemberLength<128>(units);
      break;
    case 5:
      CheckMemberLength<260>(units);
      break;
    default:
      CheckMemberLength<1040>(units);
      break;
  }
  return 0;
}
