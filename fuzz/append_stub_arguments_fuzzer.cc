// AppendStubArguments on any raw command line and any fill of the line: the
// text already in the line stays; what is added is nothing, or a verbatim
// suffix of the raw command line, after at most one inserted space; that
// suffix is what follows the program name (quoted or not), and it is added
// whenever it fits.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/stub_arguments.h"

namespace {

constexpr size_t kCapacity = installer::kCommandLineCapacity;

// Where the arguments start: after a quoted program name and its closing
// quote, or at the first blank or the end of an unquoted one. `size` of the
// text when a quote is never closed.
size_t ArgumentsStart(const fuzzing::Text& line, bool* closed) {
  *closed = true;
  if (line.length() > 0 && line[0] == L'"') {
    for (size_t i = 1; i < line.length(); ++i) {
      if (line[i] == L'"') return i + 1;
    }
    *closed = false;
    return line.length();
  }
  size_t i = 0;
  while (i < line.length() && line[i] != L' ' && line[i] != L'\t') ++i;
  return i;
}

bool Fits(size_t used, size_t more) { return used + more + 1 <= kCapacity; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const size_t used = input.Word() % kCapacity;
  const fuzzing::Text raw(input.Field(2400));

  fuzzing::Fenced<kCapacity> line;
  std::vector<wchar_t> filled(used, L'p');
  line.SetText(filled);
  // Settings that never read a command line hold none at all.
  installer::AppendStubArguments(nullptr, line.get());
  line.Check();
  FUZZ_CHECK(line.TextLength() == used);
  installer::AppendStubArguments(raw.c_str(), line.get());
  line.Check();

  const size_t length = line.TextLength();
  FUZZ_CHECK(length >= used);
  FUZZ_CHECK(fuzzing::SameUnits(line.units(), filled.data(), used));
  const wchar_t* added = line.units() + used;
  const size_t added_length = length - used;

  // The independent reading of the raw line.
  bool closed;
  const size_t start = ArgumentsStart(raw, &closed);
  const size_t rest_length = raw.length() - start;
  const bool space_first = closed && start < raw.length() &&
                           raw[start] != L' ' && raw[start] != L'\t';
  std::vector<wchar_t> expected;
  if (closed && start < raw.length()) {
    if (space_first && Fits(used, 1)) expected.push_back(L' ');
    if (!space_first || !expected.empty()) {
      if (Fits(used + expected.size(), rest_length))
        expected.insert(expected.end(), raw.c_str() + start,
                        raw.c_str() + raw.length());
    }
  }

  // Whatever was added is a verbatim suffix, with at most one space before.
  const auto is_suffix = [&raw](const wchar_t* units, size_t count) {
    return count <= raw.length() &&
           fuzzing::SameUnits(units, raw.c_str() + raw.length() - count, count);
  };
  if (added_length > 0) {
    FUZZ_CHECK(is_suffix(added, added_length) ||
               (added[0] == L' ' && is_suffix(added + 1, added_length - 1)));
  }
  FUZZ_CHECK(added_length == expected.size());
  FUZZ_CHECK(fuzzing::SameUnits(added, expected.data(), expected.size()));
  return 0;
}
