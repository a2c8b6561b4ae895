// AfterLastBackslash reads only the units it is given and points just after
// the last backslash among them, or at the start when there is none.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  // Zeros included: the length, not a terminator, bounds the scan.
  const std::vector<wchar_t> units = input.Rest(600);
  fuzzing::ExactUnits path(units.size());
  for (size_t i = 0; i < units.size(); ++i) path[i] = units[i];
  const size_t length = units.size();

  size_t last = length;  // none
  for (size_t i = 0; i < length; ++i) {
    if (units[i] == L'\\') last = i;
  }
  const wchar_t* result = installer::AfterLastBackslash(
      static_cast<const wchar_t*>(path.data()), length);
  if (last == length) {
    FUZZ_CHECK(result == path.data());
  } else {
    FUZZ_CHECK(result == path.data() + last + 1);
  }
  FUZZ_CHECK(installer::AfterLastBackslash(path.data(), length) == result);
  // A shorter length only looks at the first units.
  if (length > 0) {
    const size_t shorter = units[0] % length;
    const wchar_t* cut = installer::AfterLastBackslash(
        static_cast<const wchar_t*>(path.data()), shorter);
    FUZZ_CHECK(cut >= path.data() && cut <= path.data() + shorter);
    FUZZ_CHECK(cut == path.data() || cut[-1] == L'\\');
    for (const wchar_t* p = cut; p < path.data() + shorter; ++p)
      FUZZ_CHECK(*p != L'\\');
  }
  return 0;
}
