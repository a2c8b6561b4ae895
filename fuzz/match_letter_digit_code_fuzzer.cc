// MatchLetterDigitCode succeeds exactly for a name that ends in a hyphen,
// three ASCII letters and three ASCII digits; the code is those six with the
// letters in upper case, and a refusal leaves the output untouched.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/referral_code.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const fuzzing::Text name(input.Field(259));
  const std::vector<wchar_t> prior = input.Field(127);

  const size_t length = name.length();
  bool expected = length >= 7 && name[length - 7] == L'-';
  for (size_t i = 0; expected && i < 3; ++i) {
    expected = fuzzing::IsAsciiLetter(name[length - 6 + i]) &&
               fuzzing::IsAsciiDigit(name[length - 3 + i]);
  }

  fuzzing::Fenced<installer::kShortTextCapacity> code;
  code.SetText(prior);
  const std::vector<wchar_t> before = code.Snapshot();
  const bool matched =
      installer::MatchLetterDigitCode(name.c_str(), code.get());
  code.Check();
  FUZZ_CHECK(matched == expected);
  if (!matched) {
    FUZZ_CHECK(code.Snapshot() == before);
    return 0;
  }
  FUZZ_CHECK(code.TextLength() == 6);
  for (size_t i = 0; i < 6; ++i) {
    const wchar_t original = name[length - 6 + i];
    const wchar_t upper = (original >= L'a' && original <= L'z')
                              ? static_cast<wchar_t>(original - 0x20)
                              : original;
    FUZZ_CHECK(code.units()[i] == upper);
  }
  return 0;
}
