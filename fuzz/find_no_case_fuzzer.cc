// FindNoCase returns a real match position inside the text, the leftmost
// one, and null only when no position matches; a missing or empty needle
// matches at the start.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "support/bounded_string.h"

namespace {

bool MatchesAt(const fuzzing::Text& text, size_t position,
               const fuzzing::Text& needle) {
  if (position + needle.length() > text.length()) return false;
  for (size_t i = 0; i < needle.length(); ++i) {
    if (!fuzzing::SameNoCase(text[position + i], needle[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const fuzzing::Text text(input.Field(600));
  const fuzzing::Text needle(input.Field(300));

  FUZZ_CHECK(installer::FindNoCase(text.c_str(), nullptr) == text.c_str());
  FUZZ_CHECK(installer::FindNoCase(text.c_str(), L"") == text.c_str());

  const wchar_t* found = installer::FindNoCase(text.c_str(), needle.c_str());
  if (needle.length() == 0) {
    FUZZ_CHECK(found == text.c_str());
    return 0;
  }
  size_t first = text.length() + 1;  // none
  for (size_t i = 0; i + needle.length() <= text.length(); ++i) {
    if (MatchesAt(text, i, needle)) {
      first = i;
      break;
    }
  }
  if (found == nullptr) {
    FUZZ_CHECK(first > text.length());
  } else {
    FUZZ_CHECK(found >= text.c_str() && found < text.c_str() + text.length());
    const size_t position = static_cast<size_t>(found - text.c_str());
    FUZZ_CHECK(MatchesAt(text, position, needle));
    FUZZ_CHECK(position == first);
  }
  return 0;
}
