#include "unpack/payload_name.h"

#include "stub/run_outcome.h"

namespace installer {

namespace {

struct PrefixRule {
  const wchar_t* prefix;
  PayloadItemKind kind;
};

// Checked in this order: a name that starts with both is the archive.
constexpr PrefixRule kPrefixRules[] = {
    {L"korvel", PayloadItemKind::kArchive},
    {L"setup", PayloadItemKind::kSetup},
};

}  // namespace

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
  item->data = data;
  item->size = size;
  return true;
}

}  // namespace installer
