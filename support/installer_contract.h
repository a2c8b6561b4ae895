// What the installer and the tools that pack and inspect it agree on: the
// payload's resource types and names, the capacity of a path, the work
// folder's name and its deepest place, the exit codes and the Windows errors
// the installer sets itself. Written once, here; the release tools read this
// file itself (tools/release_tools/contract.py), so every definition keeps
// the plain form that reader takes: one per line, "inline constexpr" with a
// number, a text or a list of texts, and the enumeration of exit codes with
// a number for each name.
#ifndef SUPPORT_INSTALLER_CONTRACT_H_
#define SUPPORT_INSTALLER_CONTRACT_H_

#include <stdint.h>

namespace installer {

// The installer's own exit codes. Exit codes of a process that it ran share
// the same number space and are passed on unchanged.
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

// Windows errors that the installer sets itself rather than receiving them
// from a platform call. Named here so that code that must build without
// Windows headers needs no <winerror.h>.
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

// The payload's resource types, in the order they are searched. An archive
// of the first is a 7z archive named to setup as compressed; a setup
// program of the first is a patch for the installed setup program, of the
// second a cabinet that is expanded, of the third a program as it is.
inline constexpr const wchar_t* kPayloadTypes[] = {L"B7", L"BL", L"BN"};
inline constexpr wchar_t kPatchOrArchiveType[] = L"B7";
inline constexpr wchar_t kCabinetType[] = L"BL";
inline constexpr wchar_t kPlainType[] = L"BN";

// A payload resource's name starts with one of these, A to Z folded: the
// product archive's first.
inline constexpr wchar_t kArchivePrefix[] = L"korvel";
inline constexpr wchar_t kSetupPrefix[] = L"setup";

// The name the installer gives the setup program it runs: an expanded
// cabinet's, a plain program's, and the one a self-update builds.
inline constexpr wchar_t kSetupProgramName[] = L"setup.exe";

// Every path the installer builds or reads into a buffer (its own, the work
// folder's, each item's, the installed setup program's) has this many
// UTF-16 units, its terminator among them.
inline constexpr uint64_t kPathCapacity = 260;

// The work folder beside the installer: the prefix, random hexadecimal
// digits (upper case), the suffix.
inline constexpr wchar_t kWorkFolderPrefix[] = L"KV_";
inline constexpr uint64_t kWorkFolderDigits = 5;
inline constexpr wchar_t kWorkFolderSuffix[] = L".tmp";
// The longest path of the work folder, without its trailing backslash: the
// deepest folder that Windows makes for a program that is not long-path
// aware, as the installer is not. An installer in a deeper folder ends with
// PathTooLong before it makes anything.
inline constexpr uint64_t kLongestWorkFolderPath = 247;

// The previous-version text: resource RT_RCDATA with this number.
inline constexpr uint32_t kPreviousVersionResource = 1;

}  // namespace installer

#endif  // SUPPORT_INSTALLER_CONTRACT_H_
