// The result of every stage of a run: an exit code (the stub's own, of
// support/installer_contract.h, or that of a process it ran) and the Windows
// error that tells why.
#ifndef SUPPORT_RUN_OUTCOME_H_
#define SUPPORT_RUN_OUTCOME_H_

#include <stdint.h>

#include "support/installer_contract.h"

namespace installer {

struct RunOutcome {
  uint32_t exit_code = 0;
  uint32_t windows_error = 0;

  bool Succeeded() const { return exit_code == 0; }
};

inline RunOutcome MakeOutcome(ExitCode code, uint32_t windows_error = 0) {
  return RunOutcome{static_cast<uint32_t>(code), windows_error};
}

inline constexpr RunOutcome kSuccessOutcome{};

}  // namespace installer

#endif  // SUPPORT_RUN_OUTCOME_H_
