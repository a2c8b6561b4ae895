// The result of every stage of a run, and the stub's own exit codes. Exit
// codes of a process that the stub ran share the same number space and are
// passed on unchanged.
#ifndef STUB_RUN_OUTCOME_H_
#define STUB_RUN_OUTCOME_H_

#include <stdint.h>

namespace installer {

enum class ExitCode : uint32_t {
  Success = 0,
  SettingsFailed = 101,
  CommandLineTooLong = 105,
  ProcessWaitFailed = 107,
  PathTooLong = 108,
  WorkFolderNotCreated = 109,
  InstalledSetupNotFound = 110,
  PreviousVersionMismatch = 111,
  ArchiveNotUnpacked = 112,
  SetupNotUnpacked = 115,
  SetupNotWritten = 116,
  FolderSecurityFailed = 117,
  CleanupModeExit = 118,
  SelfUpdateStartFileMissing = 119,
  SelfUpdateStartPathMissing = 120,
  SelfUpdateStartFailed = 121,
  SetupStartFileMissing = 122,
  SetupStartPathMissing = 123,
  SetupStartFailed = 124,
  // An exception that nothing handled ended the run; its code is the
  // Windows error. A number of its own after the others, so that no report
  // that an earlier version of the stub wrote can be read as a crash.
  RunCrashed = 125,
};

// Windows errors that the stub sets itself rather than receiving them from a
// platform call. Named here so that the stub needs no <winerror.h> in code
// that must build without Windows headers.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorTooManyNames = 68;
inline constexpr uint32_t kErrorBufferOverflow = 111;
// A payload resource's name that cannot be a file's name in the work folder.
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;
inline constexpr uint32_t kErrorNoData = 232;
inline constexpr uint32_t kErrorMoreData = 234;

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

#endif  // STUB_RUN_OUTCOME_H_
