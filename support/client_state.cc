#include "support/client_state.h"

#include "support/bounded_string.h"

namespace installer {

namespace {

constexpr wchar_t kClientStatePrefix[] =
    L"Software\\Quivra\\Update\\ClientState\\";
constexpr REGSAM kReadWrite = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr wchar_t kFullSuffix[] = L"-full";

}  // namespace

HKEY ClientStateRoot(bool system_level) {
  return system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

uint32_t OpenClientStateKey(HKEY root, const wchar_t* app_guid, REGSAM access,
                            RegistryKey* key) {
  PathString path;
  if (!path.Copy(kClientStatePrefix) || !path.Append(app_guid))
    return kErrorBufferOverflow;
  // The updater is a 32-bit program: its keys live in the 32-bit view.
  return key->Open(root, path.data(), access | KEY_WOW64_32KEY);
}

void EnsureFullTag(const InstallerSettings& settings) {
  RegistryKey key;
  if (OpenClientStateKey(ClientStateRoot(settings.system_level),
                         settings.app_guid, kReadWrite, &key) != 0) {
    return;
  }
  ShortString tag;
  const uint32_t status = key.ReadText(L"ap", tag.data(), tag.kCapacity);
  // A missing tag is marked; one that cannot be read as text is not ours to
  // replace.
  const bool readable = status == 0 || status == kErrorFileNotFound;
  if (status == kErrorFileNotFound) tag.Clear();
  if (readable && !EndsWithNoCase(tag.data(), kFullSuffix) &&
      tag.Append(kFullSuffix)) {
    key.WriteText(L"ap", tag.data());
  }
}

void WriteInstallerFailure(const InstallerSettings& settings,
                           RunOutcome outcome) {
  if (outcome.exit_code == 0) return;
  RegistryKey key;
  if (OpenClientStateKey(ClientStateRoot(settings.system_level),
                         settings.app_guid, kReadWrite, &key) != 0) {
    return;
  }
  // An earlier failure that is already on record is kept with its details;
  // anything unreadable counts as no record.
  uint32_t result = 0;
  if (key.ReadNumber(L"InstallerResult", &result) != 0 || result == 0) {
    key.WriteNumber(L"InstallerResult", 1);
    key.WriteNumber(L"InstallerError", outcome.exit_code);
    key.WriteNumber(L"InstallerExtraCode1", outcome.windows_error);
  }
}

}  // namespace installer
