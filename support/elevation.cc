#include "support/elevation.h"

#include <windows.h>
#include <stdint.h>

namespace installer {

bool RunsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  // A label and its SID, which has a single sub-authority.
  union {
    TOKEN_MANDATORY_LABEL label;
    uint8_t bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
  } level;
  DWORD size = 0;
  bool elevated = false;
  if (GetTokenInformation(token, TokenIntegrityLevel, &level, sizeof(level),
                          &size)) {
    const PSID sid = level.label.Label.Sid;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    elevated = count > 0 && *GetSidSubAuthority(sid, count - 1) >=
                                SECURITY_MANDATORY_HIGH_RID;
  }
  CloseHandle(token);
  return elevated;
}

}  // namespace installer
