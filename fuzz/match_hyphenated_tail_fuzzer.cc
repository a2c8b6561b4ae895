// MatchHyphenatedTail succeeds exactly for a name whose text after its
// next-to-last hyphen is ASCII letters around one hyphen and shorter than
// 128 units; the code is that text unchanged. A tail that is too long leaves
// the empty output, any other refusal leaves the output untouched.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/referral_code.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint8_t shape = input.Byte();
  std::vector<wchar_t> units = input.Field(259);
  const std::vector<wchar_t> prior = input.Field(127);
  // Long letter tails are what the 128-unit limit is about; mutation alone
  // rarely builds them.
  if (shape & 1) {
    const size_t words = 1 + (shape >> 1);
    for (size_t i = 0; i < 2 * words && units.size() < 259; ++i)
      units.push_back(static_cast<wchar_t>(L'a' + i % 26));
  }
  const fuzzing::Text name(units);

  // Where the tail starts, found from the right without any search helper.
  const size_t length = name.length();
  size_t hyphens_seen = 0;
  size_t tail_start = 0;
  bool letters_only = true;
  for (size_t i = length; i-- > 0;) {
    if (name[i] == L'-') {
      if (++hyphens_seen == 2) {
        tail_start = i + 1;
        break;
      }
    } else if (!fuzzing::IsAsciiLetter(name[i])) {
      letters_only = false;
    }
  }
  const bool shaped = hyphens_seen == 2 && letters_only;
  const size_t tail_length = length - tail_start;

  fuzzing::Fenced<installer::kShortTextCapacity> code;
  code.SetText(prior);
  const std::vector<wchar_t> before = code.Snapshot();
  const bool matched = installer::MatchHyphenatedTail(name.c_str(), code.get());
  code.Check();
  FUZZ_CHECK(matched == (shaped && tail_length < 128));
  if (matched) {
    FUZZ_CHECK(code.TextLength() == tail_length);
    FUZZ_CHECK(fuzzing::SameUnits(code.units(), name.c_str() + tail_start,
                                  tail_length));
  } else if (shaped) {
    FUZZ_CHECK(code.units()[0] == 0);
  } else {
    FUZZ_CHECK(code.Snapshot() == before);
  }
  return 0;
}
