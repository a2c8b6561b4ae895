// AppendReferralSwitch makes four independent appends: the switch name, the
// opening "=\"", the code and the closing quote each go in exactly when they
// fit by themselves at that point, and nothing already in the line changes.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/setup_command_line.h"

namespace {

constexpr size_t kCapacity = installer::kCommandLineCapacity;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  // Mostly a nearly full line: that is where the pieces part ways.
  const uint16_t word = input.Word();
  const size_t used =
      (word & 0x8000) ? word % kCapacity : kCapacity - 1 - word % 160;
  const std::vector<wchar_t> code = input.Field(127);
  const fuzzing::Text code_text(code);

  std::vector<wchar_t> expected(used, L'q');
  std::vector<wchar_t> name;
  fuzzing::Put(&name, L" --telvo-referral-code");
  const std::vector<wchar_t> opening = {L'=', L'"'};
  const std::vector<wchar_t> closing = {L'"'};
  const std::vector<wchar_t>* const pieces[] = {&name, &opening, &code,
                                                &closing};
  for (const std::vector<wchar_t>* piece : pieces) {
    if (expected.size() + piece->size() + 1 <= kCapacity)
      fuzzing::Put(&expected, *piece);
  }

  fuzzing::Fenced<kCapacity> line;
  line.SetText(std::vector<wchar_t>(used, L'q'));
  installer::AppendReferralSwitch(code_text.c_str(), line.get());
  line.Check();
  FUZZ_CHECK(line.TextLength() == expected.size());
  FUZZ_CHECK(
      fuzzing::SameUnits(line.units(), expected.data(), expected.size()));
  return 0;
}
