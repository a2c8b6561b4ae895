#include "unpack/payload_name.h"

#include "support/run_outcome.h"

namespace installer {

namespace {

struct PrefixRule {
  const wchar_t* prefix;
  PayloadItemKind kind;
};

// Checked in this order: a name that starts with both is the archive.
constexpr PrefixRule kPrefixRules[] = {
    {kArchivePrefix, PayloadItemKind::kArchive},
    {kSetupPrefix, PayloadItemKind::kSetup},
};

// Names that Windows gives a device in every folder, matched against what
// comes before a name's first dot, trailing spaces dropped.
constexpr const wchar_t* kDeviceNames[] = {L"con", L"prn", L"aux", L"nul",
                                           L"conin$", L"conout$"};
// COM and LPT followed by one digit; Windows takes the superscripts one to
// three (U+00B9, U+00B2, U+00B3) for digits there as well.
constexpr const wchar_t* kNumberedDevices[] = {L"com", L"lpt"};

bool IsDeviceDigit(wchar_t unit) {
  return (unit >= L'1' && unit <= L'9') || unit == 0x00B9 || unit == 0x00B2 ||
         unit == 0x00B3;
}

// Whether the first `length` units of `name` are `device`, A to Z folded.
bool IsNamed(const wchar_t* name, uint64_t length, const wchar_t* device) {
  uint64_t i = 0;
  for (; i < length; ++i) {
    if (device[i] == 0 || FoldAsciiCase(name[i]) != device[i]) return false;
  }
  return device[i] == 0;
}

bool IsDeviceName(const wchar_t* name) {
  uint64_t stem = 0;
  while (name[stem] != 0 && name[stem] != L'.') ++stem;
  while (stem > 0 && name[stem - 1] == L' ') --stem;
  for (const wchar_t* device : kDeviceNames) {
    if (IsNamed(name, stem, device)) return true;
  }
  for (const wchar_t* device : kNumberedDevices) {
    if (stem == 4 && IsNamed(name, 3, device) && IsDeviceDigit(name[3])) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsUsablePayloadFileName(const wchar_t* name) {
  if (name == nullptr || name[0] == 0) return false;
  uint64_t length = 0;
  for (; name[length] != 0; ++length) {
    const wchar_t unit = name[length];
    if (unit < 0x20 || unit == L'\\' || unit == L'/' || unit == L':' ||
        unit == L'<' || unit == L'>' || unit == L'"' || unit == L'|' ||
        unit == L'?' || unit == L'*') {
      return false;
    }
  }
  // "." and ".." end in a dot too.
  const wchar_t last = name[length - 1];
  return last != L'.' && last != L' ' && !IsDeviceName(name);
}

PayloadItemKind ClassifyPayloadName(const wchar_t* name) {
  if (name == nullptr) return PayloadItemKind::kNeither;
  for (const PrefixRule& rule : kPrefixRules) {
    if (StartsWithNoCase(name, rule.prefix)) return rule.kind;
  }
  return PayloadItemKind::kNeither;
}

bool RecordPayloadItem(const wchar_t* name, const void* data, uint64_t size,
                       PayloadSearch* search) {
  PathString* item_name = nullptr;
  PayloadItem* item = nullptr;
  switch (ClassifyPayloadName(name)) {
    case PayloadItemKind::kArchive:
      item_name = &search->archive_name;
      item = &search->archive;
      break;
    case PayloadItemKind::kSetup:
      item_name = &search->setup_name;
      item = &search->setup;
      break;
    case PayloadItemKind::kNeither:
      search->error = kErrorInvalidData;
      return false;
  }
  if (item->size != 0) {
    search->error = kErrorTooManyNames;
    return false;
  }
  if (!item_name->Copy(name)) {
    search->error = kErrorFilenameExcedRange;
    return false;
  }
  // The name becomes a path in the work folder: one that could leave it, or
  // name a device or another file than it says, is no payload item.
  if (!IsUsablePayloadFileName(item_name->data())) {
    item_name->Clear();
    search->error = kErrorInvalidName;
    return false;
  }
  item->data = data;
  item->size = size;
  return true;
}

}  // namespace installer
