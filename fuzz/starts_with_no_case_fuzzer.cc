// StartsWithNoCase agrees with a naive comparison of the first units that
// folds only A to Z, and reads neither text beyond its terminator.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const fuzzing::Text text(input.Field(600));
  const fuzzing::Text prefix(input.Field(600));

  bool expected = prefix.length() <= text.length();
  for (size_t i = 0; expected && i < prefix.length(); ++i)
    expected = fuzzing::SameNoCase(text[i], prefix[i]);

  FUZZ_CHECK(installer::StartsWithNoCase(text.c_str(), prefix.c_str()) ==
             expected);
  FUZZ_CHECK(!installer::StartsWithNoCase(nullptr, prefix.c_str()));
  FUZZ_CHECK(!installer::StartsWithNoCase(text.c_str(), nullptr));
  FUZZ_CHECK(installer::StartsWithNoCase(text.c_str(), text.c_str()));
  FUZZ_CHECK(installer::StartsWithNoCase(text.c_str(), L""));
  return 0;
}
