// BoundedAppend adds the whole source with its terminator or leaves the text
// as it was; it never writes outside its capacity, never touches the text
// before the append point, and accepts every piece that fits.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

namespace {

using fuzzing::ExactUnits;
using fuzzing::Fenced;
using fuzzing::Text;

// Units before the first zero among units 0 to capacity - 2: where an append
// has to start even when the buffer holds no terminator.
size_t AppendPoint(const wchar_t* units, uint64_t capacity) {
  if (capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (units[i] == 0) return i;
  }
  return capacity - 1;
}

void CheckAppend(const std::vector<wchar_t>& before, const wchar_t* after,
                 uint64_t capacity, const Text& source, bool appended) {
  if (capacity == 0) {
    FUZZ_CHECK(!appended);
    return;
  }
  const size_t start = AppendPoint(before.data(), capacity);
  const size_t length = source.length();
  FUZZ_CHECK(appended == (start + length + 1 <= capacity));
  for (size_t i = 0; i < start; ++i) FUZZ_CHECK(after[i] == before[i]);
  if (appended) {
    FUZZ_CHECK(fuzzing::SameUnits(after + start, source.c_str(), length + 1));
    for (size_t i = start + length + 1; i < capacity; ++i)
      FUZZ_CHECK(after[i] == before[i]);
  } else {
    FUZZ_CHECK(after[start] == 0);
    for (size_t i = start + 1; i < capacity; ++i)
      FUZZ_CHECK(after[i] == before[i] || after[i] == source[i - start]);
  }
}

template <uint64_t N>
void CheckMemberAppend(const Text& source, const std::vector<wchar_t>& old) {
  Fenced<N> buffer;
  buffer.SetText(old);
  const std::vector<wchar_t> before = buffer.Snapshot();
  const bool appended = buffer->Append(source.c_str());
  buffer.Check();
  CheckAppend(before, buffer.units(), N, source, appended);
  const size_t kept = old.size() < N - 1 ? old.size() : N - 1;
  FUZZ_CHECK(buffer.TextLength() == (appended ? kept + source.length() : kept));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint64_t capacity = input.Word() % 1100;
  const uint8_t flags = input.Byte();
  const std::vector<wchar_t> old = input.Field(1100);
  const Text source(input.Field(1200));

  FUZZ_CHECK(!installer::BoundedAppend(nullptr, capacity, source.c_str()));

  // Bit 0 set: the buffer holds no terminator at all, as after a platform
  // call that filled every unit.
  ExactUnits destination(capacity);
  for (size_t i = 0; i < capacity; ++i)
    destination[i] = i < old.size() ? old[i] : fuzzing::kFiller;
  if (!(flags & 1) && capacity > 0)
    destination[old.size() < capacity - 1 ? old.size() : capacity - 1] = 0;
  const std::vector<wchar_t> before = destination.Snapshot();
  const bool appended =
      installer::BoundedAppend(destination.data(), capacity, source.c_str());
  CheckAppend(before, destination.data(), capacity, source, appended);

  switch ((flags >> 1) & 7) {
    case 0:
      CheckMemberAppend<1>(source, old);
      break;
    case 1:
      CheckMemberAppend<2>(source, old);
      break;
    case 2:
      CheckMemberAppend<3>(source, old);
      break;
    case 3:
      CheckMemberAppend<7>(source, old);
      break;
    case 4:
      CheckMemberAppend<128>(source, old);
      break;
    case 5:
      CheckMemberAppend<260>(source, old);
      break;
    default:
      CheckMemberAppend<1040>(source, old);
      break;
  }
  return 0;
}
