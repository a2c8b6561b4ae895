#include "unpack/payload_search.h"

namespace installer {

namespace {

constexpr const wchar_t* kPayloadTypes[] = {L"B7", L"BL", L"BN"};

// Returning FALSE ends the enumeration of the current type.
BOOL CALLBACK VisitPayloadName(HMODULE module, LPCWSTR type, LPWSTR name,
                               LONG_PTR parameter) {
  // Numbered entries come after all named ones and are never payload.
  if (IS_INTRESOURCE(name)) return FALSE;
  const HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) return FALSE;
  const DWORD size = SizeofResource(module, resource);
  if (size == 0) return FALSE;
  const HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return FALSE;
  const void* data = LockResource(loaded);
  if (data == nullptr) return FALSE;
  return RecordPayloadItem(name, data, size,
                           reinterpret_cast<PayloadSearch*>(parameter))
             ? TRUE
             : FALSE;
}

}  // namespace

RunOutcome SearchPayload(HMODULE module, PayloadSearch* search,
                         TypeTagString* archive_type,
                         TypeTagString* setup_type) {
  for (const wchar_t* type : kPayloadTypes) {
    search->error = 0;
    // A type without resources simply contributes nothing, so the
    // enumeration's own result says nothing worth acting on.
    EnumResourceNamesW(module, type, VisitPayloadName,
                       reinterpret_cast<LONG_PTR>(search));
    if (search->error != 0) {
      return MakeOutcome(archive_type->IsEmpty() ? ExitCode::ArchiveNotUnpacked
                                                 : ExitCode::SetupNotUnpacked,
                         search->error);
    }
    if (search->archive.size != 0 && archive_type->IsEmpty()) {
      archive_type->Copy(type);
    }
    if (search->setup.size != 0 && setup_type->IsEmpty()) {
      setup_type->Copy(type);
    }
  }
  if (search->archive.size == 0) {
    return MakeOutcome(ExitCode::ArchiveNotUnpacked, kErrorFileNotFound);
  }
  if (search->setup.size == 0) {
    return MakeOutcome(ExitCode::SetupNotUnpacked, kErrorFileNotFound);
  }
  return kSuccessOutcome;
}

}  // namespace installer
