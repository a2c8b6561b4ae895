#include "support/elevation.h"

#include <windows.h>
#include <stdint.h>

#include "support/unique_resource.h"

namespace installer {

bool RunsElevated() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
    return false;
  }
  const UniqueHandle token(opened);
  // A label and its SID, which has a single sub-authority.
  union {
    TOKEN_MANDATORY_LABEL label;
    uint8_t bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
  } level;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenIntegrityLevel, &level,
                           sizeof(level), &size)) {
    return false;
  }
  const PSID sid = level.label.Label.Sid;
  const UCHAR count = *GetSidSubAuthorityCount(sid);
  return count > 0 &&
         *GetSidSubAuthority(sid, count - 1) >= SECURITY_MANDATORY_HIGH_RID;
}

}  // namespace installer
