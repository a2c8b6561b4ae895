// BuildInstallCommandLine never lets the line exceed 1039 units or leave its
// buffer; when it succeeds the line is exactly the quoted program path, the
// archive switch chosen by the archive's type with its quoted path, and the
// previous-version switch when a version is given (even an empty one); it
// fails only when that line does not fit, and then holds no piece cut short.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/setup_command_line.h"

namespace {

constexpr size_t kCapacity = installer::kCommandLineCapacity;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint8_t flags = input.Byte();
  const bool compressed = flags & 1;
  const bool has_version = flags & 2;
  const size_t stale = input.Word() % kCapacity;
  // Paths come from 260-unit buffers; the version text from a resource of
  // any length.
  // Bit 2: paths longer than any path buffer, so that the first pieces can
  // overflow the line too; the refusal is then only checked for safety.
  const bool long_paths = flags & 4;
  const size_t path_limit = long_paths ? 600 : 259;
  const std::vector<wchar_t> setup = input.Field(path_limit);
  const std::vector<wchar_t> archive = input.Field(path_limit);
  const std::vector<wchar_t> version = input.Field(1200);
  const fuzzing::Text setup_text(setup);
  const fuzzing::Text archive_text(archive);
  const fuzzing::Text version_text(version);

  std::vector<wchar_t> expected;
  fuzzing::Put(&expected, L"\"");
  fuzzing::Put(&expected, setup);
  fuzzing::Put(&expected, L"\"");
  const size_t program_length = expected.size();
  fuzzing::Put(&expected, compressed ? L" --install-archive=\""
                                     : L" --uncompressed-archive=\"");
  fuzzing::Put(&expected, archive);
  fuzzing::Put(&expected, L"\"");
  if (has_version) {
    fuzzing::Put(&expected, L" --previous-version=\"");
    fuzzing::Put(&expected, version);
    fuzzing::Put(&expected, L"\"");
  }

  // Whatever the buffer held before does not matter.
  fuzzing::Fenced<kCapacity> line;
  line.SetText(std::vector<wchar_t>(stale, L's'));
  const bool built = installer::BuildInstallCommandLine(
      setup_text.c_str(), archive_text.c_str(), compressed,
      has_version ? version_text.c_str() : nullptr, line.get());
  line.Check();
  const size_t length = line.TextLength();
  FUZZ_CHECK(length <= kCapacity - 1);

  if (built || !long_paths)
    FUZZ_CHECK(built == (expected.size() <= kCapacity - 1));
  if (built) {
    FUZZ_CHECK(length == expected.size());
    FUZZ_CHECK(length >= program_length);
  } else {
    // Whole pieces up to the one that did not fit: a proper prefix.
    FUZZ_CHECK(length < expected.size());
  }
  FUZZ_CHECK(fuzzing::SameUnits(line.units(), expected.data(), length));
  return 0;
}
