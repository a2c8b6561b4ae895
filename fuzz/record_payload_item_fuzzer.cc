// Over any sequence of resource names, the per-name step of the payload
// search takes each item at most once, records exactly the error that the
// name calls for (13 neither prefix, 68 a second item, 206 a name that does
// not fit 260 units, 123 a name that is no file name of the work folder's),
// leaves the search as it was whenever it refuses, and keeps both name
// buffers terminated inside their capacity.
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "unpack/payload_name.h"

namespace {

using installer::PayloadItem;
using installer::PayloadSearch;

struct FencedSearch {
  wchar_t before[fuzzing::kFenceUnits];
  PayloadSearch search;
  wchar_t after[fuzzing::kFenceUnits];
};

size_t NameLength(const installer::PathString& name) {
  for (size_t i = 0; i < installer::kPathCapacity; ++i) {
    if (name.units[i] == 0) return i;
  }
  fuzzing::Fail("a payload name is terminated within 260 units", __FILE__,
                __LINE__);
}

struct Model {
  std::vector<wchar_t> name;
  PayloadItem item;
};

void CheckAgainst(const Model& model, const installer::PathString& name,
                  const PayloadItem& item) {
  FUZZ_CHECK(name.units[installer::kPathCapacity] == 0);
  FUZZ_CHECK(NameLength(name) == model.name.size());
  FUZZ_CHECK(
      fuzzing::SameUnits(name.units, model.name.data(), model.name.size()));
  FUZZ_CHECK(item.data == model.item.data && item.size == model.item.size);
}

bool Among(wchar_t unit, const char* units) {
  for (size_t i = 0; units[i] != 0; ++i) {
    if (unit == static_cast<wchar_t>(units[i])) return true;
  }
  return false;
}

// Whether the lower-cased `stem` spells the ASCII `device`.
bool Spells(const std::vector<wchar_t>& stem, const char* device) {
  size_t i = 0;
  for (; device[i] != 0; ++i) {
    if (i >= stem.size() || stem[i] != static_cast<wchar_t>(device[i])) {
      return false;
    }
  }
  return i == stem.size();
}

// The file-name rule, told from the text as a whole: a name that could
// leave the folder, name a stream or a device, or be made under another
// name than it says.
bool Unusable(const fuzzing::Text& name) {
  const size_t length = name.length();
  if (length == 0) return true;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] < 0x20 || Among(name[i], "\\/:<>\"|?*")) return true;
  }
  if (name[length - 1] == L'.' || name[length - 1] == L' ') return true;
  std::vector<wchar_t> stem;
  for (size_t i = 0; i < length && name[i] != L'.'; ++i) {
    stem.push_back(fuzzing::Lower(name[i]));
  }
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
    if (Spells(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const wchar_t digit = stem[3];
  stem.pop_back();
  return (Spells(stem, "com") || Spells(stem, "lpt")) &&
         ((digit >= L'1' && digit <= L'9') || digit == 0x00B9 ||
          digit == 0x00B2 || digit == 0x00B3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  std::unique_ptr<FencedSearch> fenced(new FencedSearch);
  for (size_t i = 0; i < fuzzing::kFenceUnits; ++i) {
    fenced->before[i] = fuzzing::kCanary;
    fenced->after[i] = fuzzing::kCanary;
  }
  PayloadSearch& search = fenced->search;
  Model archive{{}, {nullptr, 0}};
  Model setup{{}, {nullptr, 0}};
  uint32_t error = search.error;

  for (int step = 0; step < 8 && !input.AtEnd(); ++step) {
    const uint8_t header = input.Byte();
    if (header & 0x80) search.error = error = 0;  // a new resource type
    const uint64_t item_size = 1 + (header & 0x7F);
    const fuzzing::Text name(input.Field(400));
    const void* item_data = data + step;

    const bool taken = installer::RecordPayloadItem(name.c_str(), item_data,
                                                    item_size, &search);
    Model* model = fuzzing::BeginsWithNoCase(name, "korvel")  ? &archive
                   : fuzzing::BeginsWithNoCase(name, "setup") ? &setup
                                                              : nullptr;
    if (model == nullptr) {
      FUZZ_CHECK(!taken && search.error == 13);
      error = 13;
    } else if (model->item.size != 0) {
      FUZZ_CHECK(!taken && search.error == 68);
      error = 68;
    } else if (name.length() >= installer::kPathCapacity) {
      FUZZ_CHECK(!taken && search.error == 206);
      error = 206;
    } else if (Unusable(name)) {
      FUZZ_CHECK(!taken && search.error == 123);
      error = 123;
    } else {
      FUZZ_CHECK(taken && search.error == error);
      model->name.assign(name.c_str(), name.c_str() + name.length());
      model->item = {item_data, item_size};
    }
    CheckAgainst(archive, search.archive_name, search.archive);
    CheckAgainst(setup, search.setup_name, search.setup);
    for (size_t i = 0; i < fuzzing::kFenceUnits; ++i) {
      FUZZ_CHECK(fenced->before[i] == fuzzing::kCanary);
      FUZZ_CHECK(fenced->after[i] == fuzzing::kCanary);
    }
  }
  return 0;
}
