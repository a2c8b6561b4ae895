#include "unpack/payload_search.h"

#include "support/installer_contract.h"

namespace installer {

namespace {

// The enumeration of one type.
struct TypeVisit {
  PayloadSearch* search;
  // The visitor itself ended the enumeration: its result is then no failure
  // of the enumeration's own.
  bool ended_by_visitor;
};

// A resource call that fails with one of these found nothing, which is no
// error here, as Microsoft's list of system errors describes them: no
// resource section, type, name or language in the image (1812 to 1815), or
// the resource loader's own errors about the language files it also looks
// for beside an image (15100 to 15199), which this image does not use. Any
// other error is a failure to read the resource directory, a page of the
// image that cannot be read say, and is reported as what it is, not as a
// missing item.
bool MeansNothingFound(DWORD error) {
  return error == 0 ||
         (error >= ERROR_RESOURCE_DATA_NOT_FOUND &&
          error <= ERROR_RESOURCE_LANG_NOT_FOUND) ||
         (error >= 15100 && error <= 15199);
}

// Ends the enumeration of the current type, keeping the error of the
// resource call that failed, if it was one.
BOOL EndVisit(TypeVisit* visit, DWORD error) {
  if (!MeansNothingFound(error) && visit->search->error == 0) {
    visit->search->error = error;
  }
  visit->ended_by_visitor = true;
  return FALSE;
}

BOOL CALLBACK VisitPayloadName(HMODULE module, LPCWSTR type, LPWSTR name,
                               LONG_PTR parameter) {
  auto* visit = reinterpret_cast<TypeVisit*>(parameter);
  // Numbered entries come after all named ones and are never payload.
  if (IS_INTRESOURCE(name)) return EndVisit(visit, 0);
  // The last error is cleared first: a resource without data fails no call,
  // and ends the visit without an error.
  SetLastError(0);
  const HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) return EndVisit(visit, GetLastError());
  const DWORD size = SizeofResource(module, resource);
  if (size == 0) return EndVisit(visit, GetLastError());
  const HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return EndVisit(visit, GetLastError());
  const void* data = LockResource(loaded);
  if (data == nullptr) return EndVisit(visit, GetLastError());
  // A rejected name has recorded its own error.
  return RecordPayloadItem(name, data, size, visit->search) ? TRUE
                                                            : EndVisit(visit, 0);
}

}  // namespace

RunOutcome SearchPayload(HMODULE module, PayloadSearch* search,
                         TypeTagString* archive_type,
                         TypeTagString* setup_type) {
  for (const wchar_t* type : kPayloadTypes) {
    search->error = 0;
    TypeVisit visit = {search, false};
    // A type without resources simply contributes nothing; a directory that
    // cannot be read is an error like any the visitor records.
    if (!EnumResourceNamesW(module, type, VisitPayloadName,
                            reinterpret_cast<LONG_PTR>(&visit)) &&
        !visit.ended_by_visitor) {
      EndVisit(&visit, GetLastError());
    }
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
