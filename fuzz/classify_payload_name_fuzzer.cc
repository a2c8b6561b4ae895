// The classification of a resource name agrees with a naive check of the two
// prefixes that folds only A to Z, the archive prefix taking precedence.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "unpack/payload_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const fuzzing::Text name(input.Field(600));
  installer::PayloadItemKind expected = installer::PayloadItemKind::kNeither;
  if (fuzzing::BeginsWithNoCase(name, "korvel")) {
    expected = installer::PayloadItemKind::kArchive;
  } else if (fuzzing::BeginsWithNoCase(name, "setup")) {
    expected = installer::PayloadItemKind::kSetup;
  }
  FUZZ_CHECK(installer::ClassifyPayloadName(name.c_str()) == expected);
  return 0;
}
