#include "testing/test_paths.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <stdexcept>
#include <system_error>

namespace testing_support {

ScratchFolder::ScratchFolder(const wchar_t* tag) {
  static std::atomic<unsigned> counter{0};
  // Below the folder that the test runner controls when it names one: the
  // temporary folder may be another user's (a process started for a
  // standard user can inherit its starter's TEMP) or unusable.
  std::wstring base;
  wchar_t named[MAX_PATH];
  const DWORD named_length =
      GetEnvironmentVariableW(L"STUB_TEST_SCRATCH", named, MAX_PATH);
  if (named_length > 0 && named_length < MAX_PATH) {
    base = named;
  } else {
    wchar_t temp[MAX_PATH];
    if (GetTempPathW(MAX_PATH, temp) != 0) base = temp;
  }
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  path_ = base + L"stubtest_" + tag + L"_" +
          std::to_wstring(GetCurrentProcessId()) + L"_" +
          std::to_wstring(counter++) + L"\\";
  std::error_code error;
  std::filesystem::remove_all(path_, error);
  std::filesystem::create_directories(path_, error);
  // Every test that uses the folder would fail in its own way without it:
  // the one test fails here, with the reason, and goes no further.
  if (error || !std::filesystem::is_directory(path_)) {
    throw std::runtime_error(
        "the scratch folder " + std::filesystem::path(path_).string() +
        " cannot be made: " + error.message());
  }
}

ScratchFolder::~ScratchFolder() {
  std::error_code error;
  // Clear read-only bits that a test left behind so removal can finish.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
       !error && it != std::filesystem::recursive_directory_iterator();
       it.increment(error)) {
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(path_, error);
}

HeldFolder::HeldFolder(const std::wstring& path)
    : handle_(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                          nullptr)) {
  if (handle_ == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("the folder " +
                             std::filesystem::path(path).string() +
                             " cannot be held: error " +
                             std::to_string(GetLastError()));
  }
}

HeldFolder::~HeldFolder() { CloseHandle(handle_); }

std::wstring TestFile(const std::string& relative) {
  wchar_t root[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"STUB_TEST_ROOT", root,
                                               MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    std::fprintf(stderr, "STUB_TEST_ROOT is not set: it names the build "
                         "folder or the test bundle's folder\n");
    std::exit(2);
  }
  std::wstring path = root;
  if (path.back() != L'\\') path += L'\\';
  for (char c : relative) {
    path += (c == '/') ? L'\\' : static_cast<wchar_t>(c);
  }
  return path;
}

std::wstring FullVolumeFolder() {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"STUB_TEST_FULL_VOLUME",
                                               folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"";
  std::wstring path = folder;
  if (path.back() != L'\\') path += L'\\';
  return FileExists(path + L"mounted") ? path : L"";
}

bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") !=
         nullptr;
}

std::string WineVersion() {
  using VersionFunction = const char*(CDECL*)();
  const auto version = reinterpret_cast<VersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                             "wine_get_version")));
  return version != nullptr ? version() : "";
}

bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation,
                          sizeof(elevation), &size) &&
      elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

bool HighIntegrity() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  union {
    TOKEN_MANDATORY_LABEL label;
    BYTE bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
  } level;
  DWORD size = 0;
  bool high = false;
  if (GetTokenInformation(token, TokenIntegrityLevel, &level, sizeof(level),
                          &size)) {
    const PSID sid = level.label.Label.Sid;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    high = count > 0 &&
           *GetSidSubAuthority(sid, count - 1) >= SECURITY_MANDATORY_HIGH_RID;
  }
  CloseHandle(token);
  return high;
}

std::string ReadWholeFile(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace testing_support
