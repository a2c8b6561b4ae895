// EndsWithNoCase agrees with a naive comparison of the last units that folds
// only A to Z, and reads neither text beyond its terminator.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const fuzzing::Text text(input.Field(600));
  const fuzzing::Text suffix(input.Field(600));

  bool expected = suffix.length() <= text.length();
  const size_t offset = expected ? text.length() - suffix.length() : 0;
  for (size_t i = 0; expected && i < suffix.length(); ++i)
    expected = fuzzing::SameNoCase(text[offset + i], suffix[i]);

  FUZZ_CHECK(installer::EndsWithNoCase(text.c_str(), suffix.c_str()) ==
             expected);
  FUZZ_CHECK(!installer::EndsWithNoCase(nullptr, suffix.c_str()));
  FUZZ_CHECK(!installer::EndsWithNoCase(text.c_str(), nullptr));
  // Every text ends with itself and with nothing.
  FUZZ_CHECK(installer::EndsWithNoCase(text.c_str(), text.c_str()));
  FUZZ_CHECK(installer::EndsWithNoCase(text.c_str(), L""));
  return 0;
}
