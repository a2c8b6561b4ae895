// BoundedCopy either copies the whole source with its terminator or leaves
// the empty text; it writes nothing outside its capacity and nothing behind
// the copied terminator, and the shift of a text one unit to the left (the
// way a quoted path loses its opening quote) keeps the rest of the text.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

namespace {

using fuzzing::ExactUnits;
using fuzzing::Fenced;
using fuzzing::Text;

// Checks one finished copy of `source` into `after`, which held `before`.
void CheckCopy(const std::vector<wchar_t>& before, const wchar_t* after,
               uint64_t capacity, const Text& source, bool copied) {
  const size_t length = source.length();
  FUZZ_CHECK(copied == (length + 1 <= capacity));
  if (copied) {
    FUZZ_CHECK(fuzzing::SameUnits(after, source.c_str(), length + 1));
    for (size_t i = length + 1; i < capacity; ++i)
      FUZZ_CHECK(after[i] == before[i]);
  } else if (capacity > 0) {
    FUZZ_CHECK(after[0] == 0);
    // Only source units may have been stored on the way.
    for (size_t i = 1; i < capacity; ++i)
      FUZZ_CHECK(after[i] == before[i] || after[i] == source[i]);
  }
}

template <uint64_t N>
void CheckMemberCopy(const Text& source, const std::vector<wchar_t>& old) {
  Fenced<N> buffer;
  buffer.SetText(old);
  const std::vector<wchar_t> before = buffer.Snapshot();
  const bool copied = buffer->Copy(source.c_str());
  buffer.Check();
  CheckCopy(before, buffer.units(), N, source, copied);
}

// A text of 1 to capacity - 1 units shifted onto itself from unit 1.
void CheckShift(uint64_t capacity, const std::vector<wchar_t>& text) {
  if (capacity < 2 || text.empty()) return;
  const size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
  ExactUnits buffer(capacity);
  for (size_t i = 0; i < capacity; ++i) buffer[i] = fuzzing::kFiller;
  for (size_t i = 0; i < length; ++i) buffer[i] = text[i];
  buffer[length] = 0;
  FUZZ_CHECK(
      installer::BoundedCopy(buffer.data(), capacity, buffer.data() + 1));
  for (size_t i = 0; i + 1 < length; ++i) FUZZ_CHECK(buffer[i] == text[i + 1]);
  FUZZ_CHECK(buffer[length - 1] == 0);
  for (size_t i = length + 1; i < capacity; ++i)
    FUZZ_CHECK(buffer[i] == fuzzing::kFiller);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint64_t capacity = input.Word() % 1100;
  const uint8_t flags = input.Byte();
  const Text source(input.Field(1200));
  const std::vector<wchar_t> old = input.Field(1100);

  // A null destination or no capacity: refused, nothing written (the
  // zero-sized array reports any write).
  FUZZ_CHECK(!installer::BoundedCopy(nullptr, capacity, source.c_str()));
  ExactUnits nothing(0);
  if (capacity == 0)
    FUZZ_CHECK(!installer::BoundedCopy(nothing.data(), 0, source.c_str()));

  ExactUnits destination(capacity);
  for (size_t i = 0; i < capacity; ++i)
    destination[i] = i < old.size() ? old[i] : fuzzing::kFiller;
  const std::vector<wchar_t> before = destination.Snapshot();
  const bool copied =
      installer::BoundedCopy(destination.data(), capacity, source.c_str());
  CheckCopy(before, destination.data(), capacity, source, copied);

  CheckShift(capacity, old);

  switch (flags & 7) {
    case 0:
      CheckMemberCopy<1>(source, old);
      break;
    case 1:
      CheckMemberCopy<2>(source, old);
      break;
    case 2:
      CheckMemberCopy<3>(source, old);
      break;
    case 3:
      CheckMemberCopy<7>(source, old);
      break;
    case 4:
      CheckMemberCopy<128>(source, old);
      break;
    case 5:
      CheckMemberCopy<260>(source, old);
      break;
    default:
      CheckMemberCopy<1040>(source, old);
      break;
  }
  return 0;
}
