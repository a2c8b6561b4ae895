// The process token's integrity level as the code linked into a test binary
// is told it, for runs that the machine cannot make as it stands: under
// Wine 8 every run is elevated, under Wine 10 or as a standard user on
// Windows none is, and each test needs both kinds.
#ifndef TESTING_INTEGRITY_LEVEL_H_
#define TESTING_INTEGRITY_LEVEL_H_

#include <windows.h>

#include "testing/import_patch.h"

namespace testing_support {

// For as long as it lives, GetTokenInformation answers TokenIntegrityLevel
// with a label of `level` (SECURITY_MANDATORY_MEDIUM_RID for a standard
// user's run, SECURITY_MANDATORY_HIGH_RID for an elevated one), laid out as
// Windows lays it out; every other question gets the token's own answer.
class IntegrityLevelDouble {
 public:
  explicit IntegrityLevelDouble(DWORD level);
  ~IntegrityLevelDouble();
  IntegrityLevelDouble(const IntegrityLevelDouble&) = delete;
  IntegrityLevelDouble& operator=(const IntegrityLevelDouble&) = delete;

  bool applied() const { return patch_.applied(); }

 private:
  ImportPatch patch_;
  DWORD previous_level_;
  decltype(&GetTokenInformation) previous_real_;
};

}  // namespace testing_support

#endif  // TESTING_INTEGRITY_LEVEL_H_
