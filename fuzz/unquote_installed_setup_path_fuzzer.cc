// UnquoteInstalledSetupPath removes a leading and a trailing quote together
// and nothing else: a text of at least two units that starts and ends with a
// quote loses exactly those two, every other text stays as it was, and
// nothing outside the caller's `capacity` units, or behind the old text, is
// touched.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/setup_command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint8_t flags = input.Byte();
  const uint64_t capacity = 1 + input.Word() % 300;
  std::vector<wchar_t> text;
  // Quotes at either end are what the operation is about; put them there
  // often.
  if (flags & 1) text.push_back(L'"');
  fuzzing::Put(&text, input.Field(300));
  if (flags & 2) text.push_back(L'"');
  if (text.size() > capacity - 1) text.resize(capacity - 1);
  if ((flags & 4) && !text.empty()) text.back() = L'"';

  // As read by the registry: terminated within the capacity, with whatever
  // the value's bytes left behind the terminator.
  fuzzing::ExactUnits buffer(capacity);
  for (size_t i = 0; i < capacity; ++i) buffer[i] = fuzzing::kFiller;
  for (size_t i = 0; i < text.size(); ++i) buffer[i] = text[i];
  buffer[text.size()] = 0;
  const std::vector<wchar_t> before = buffer.Snapshot();

  installer::UnquoteInstalledSetupPath(buffer.data(), capacity);

  const size_t length = text.size();
  const bool quoted =
      length >= 2 && text[0] == L'"' && text[length - 1] == L'"';
  if (!quoted) {
    FUZZ_CHECK(buffer.Snapshot() == before);
    return 0;
  }
  FUZZ_CHECK(fuzzing::SameUnits(buffer.data(), text.data() + 1, length - 2));
  FUZZ_CHECK(buffer[length - 2] == 0);
  for (size_t i = length; i < capacity; ++i) FUZZ_CHECK(buffer[i] == before[i]);
  return 0;
}
