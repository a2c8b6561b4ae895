// BuildSelfUpdateCommandLine never lets the line exceed 1039 units or leave
// its buffer; when it succeeds the line is exactly the quoted installed
// setup path and the two switches with their quoted paths, and it fails only
// when that line does not fit, holding then no piece cut short.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/setup_command_line.h"

namespace {

constexpr size_t kCapacity = installer::kCommandLineCapacity;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint16_t word = input.Word();
  const size_t stale = (word & 0x7FFF) % kCapacity;
  // Three 260-unit paths always fit; longer ones (bit 15) make the line
  // overflow, and the refusal is then only checked for safety.
  const bool long_paths = word & 0x8000;
  const size_t path_limit = long_paths ? 600 : 259;
  const std::vector<wchar_t> installed = input.Field(path_limit);
  const std::vector<wchar_t> patch = input.Field(path_limit);
  const std::vector<wchar_t> new_setup = input.Field(path_limit);
  const fuzzing::Text installed_text(installed);
  const fuzzing::Text patch_text(patch);
  const fuzzing::Text new_setup_text(new_setup);

  std::vector<wchar_t> expected;
  fuzzing::Put(&expected, L"\"");
  fuzzing::Put(&expected, installed);
  fuzzing::Put(&expected, L"\" --update-setup-exe=\"");
  fuzzing::Put(&expected, patch);
  fuzzing::Put(&expected, L"\" --new-setup-exe=\"");
  fuzzing::Put(&expected, new_setup);
  fuzzing::Put(&expected, L"\"");

  fuzzing::Fenced<kCapacity> line;
  line.SetText(std::vector<wchar_t>(stale, L's'));
  const bool built = installer::BuildSelfUpdateCommandLine(
      installed_text.c_str(), patch_text.c_str(), new_setup_text.c_str(),
      line.get());
  line.Check();
  const size_t length = line.TextLength();
  if (built || !long_paths)
    FUZZ_CHECK(built == (expected.size() <= kCapacity - 1));
  if (built) {
    FUZZ_CHECK(length == expected.size());
  } else {
    FUZZ_CHECK(length < expected.size());
  }
  FUZZ_CHECK(fuzzing::SameUnits(line.units(), expected.data(), length));
  return 0;
}
