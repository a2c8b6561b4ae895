#include "testing/integrity_level.h"

#include <cstring>

namespace testing_support {

namespace {

DWORD g_level = 0;
// The platform's own function, taken by the outermost double.
decltype(&GetTokenInformation) g_real = nullptr;

BOOL WINAPI LevelledGetTokenInformation(HANDLE token,
                                        TOKEN_INFORMATION_CLASS kind,
                                        LPVOID buffer, DWORD size,
                                        PDWORD needed) {
  if (kind != TokenIntegrityLevel) {
    return g_real(token, kind, buffer, size, needed);
  }
  // The label and, right behind it, its SID: S-1-16-<level>.
  struct Label {
    TOKEN_MANDATORY_LABEL label;
    SID sid;
  };
  if (needed != nullptr) *needed = sizeof(Label);
  if (buffer == nullptr || size < sizeof(Label)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  Label* answer = static_cast<Label*>(buffer);
  std::memset(answer, 0, sizeof(Label));
  answer->sid.Revision = SID_REVISION;
  answer->sid.SubAuthorityCount = 1;
  SID_IDENTIFIER_AUTHORITY label_authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
  answer->sid.IdentifierAuthority = label_authority;
  answer->sid.SubAuthority[0] = g_level;
  answer->label.Label.Sid = &answer->sid;
  answer->label.Label.Attributes = SE_GROUP_INTEGRITY;
  return TRUE;
}

}  // namespace

IntegrityLevelDouble::IntegrityLevelDouble(DWORD level)
    : patch_("advapi32.dll", "GetTokenInformation",
             reinterpret_cast<void*>(&LevelledGetTokenInformation)),
      previous_level_(g_level),
      previous_real_(g_real) {
  g_level = level;
  // A double inside another answers for the whole of its life.
  if (g_real == nullptr) {
    g_real = patch_.original<decltype(&GetTokenInformation)>();
  }
}

IntegrityLevelDouble::~IntegrityLevelDouble() {
  g_level = previous_level_;
  g_real = previous_real_;
}

}  // namespace testing_support
