#include "unpack/cabinet_expander.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "testing/import_patch.h"
#include "testing/test_paths.h"
#include "unpack/testdata/cabinet_bytes.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::ReadWholeFile;
using testing_support::ScratchFolder;
using testing_support::WriteWholeFile;
using unpack_testing::CabinetFile;
using unpack_testing::FirstFile;
using unpack_testing::ReadTestData;
using unpack_testing::TestDataPath;

uint64_t AsNumber(FILETIME time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

// The cabinet's stored date and time, read as local time.
uint64_t StoredCreationTime(const CabinetFile& file) {
  FILETIME local{};
  FILETIME utc{};
  EXPECT_TRUE(DosDateTimeToFileTime(static_cast<WORD>(file.dos_date),
                                    static_cast<WORD>(file.dos_time), &local));
  EXPECT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  return AsNumber(utc);
}

// The basic information that the expansion sets on its file. Wine on Linux
// keeps no creation time and always reports the archive bit, so the record
// handed to the platform is what shows the conversion and the mask.
struct BasicInfoCapture {
  std::vector<FILE_BASIC_INFO> records;
};

BasicInfoCapture* g_basic_info = nullptr;
testing_support::ImportPatch* g_basic_info_patch = nullptr;

BOOL WINAPI CapturingSetFileInformationByHandle(HANDLE file,
                                                FILE_INFO_BY_HANDLE_CLASS type,
                                                LPVOID info, DWORD size) {
  if (type == FileBasicInfo && size == sizeof(FILE_BASIC_INFO)) {
    g_basic_info->records.push_back(*static_cast<FILE_BASIC_INFO*>(info));
  }
  return g_basic_info_patch
      ->original<decltype(&SetFileInformationByHandle)>()(file, type, info,
                                                           size);
}

class CapturedBasicInfo {
 public:
  CapturedBasicInfo()
      : patch_("kernel32.dll", "SetFileInformationByHandle",
               reinterpret_cast<void*>(&CapturingSetFileInformationByHandle)) {
    EXPECT_TRUE(patch_.applied());
    g_basic_info = &capture_;
    g_basic_info_patch = &patch_;
  }
  ~CapturedBasicInfo() { g_basic_info = nullptr; }
  const std::vector<FILE_BASIC_INFO>& records() const {
    return capture_.records;
  }

 private:
  BasicInfoCapture capture_;
  testing_support::ImportPatch patch_;
};

void ExpectBasicInfo(const FILE_BASIC_INFO& info, const CabinetFile& stored) {
  EXPECT_EQ(static_cast<uint64_t>(info.CreationTime.QuadPart),
            StoredCreationTime(stored));
  EXPECT_EQ(info.LastAccessTime.QuadPart, 0);
  EXPECT_EQ(info.LastWriteTime.QuadPart, 0);
  EXPECT_EQ(info.ChangeTime.QuadPart, 0);
  EXPECT_EQ(info.FileAttributes, stored.attributes & 0x27);
}

// Every duplicate of the destination that the expansion hands to the
// library is closed exactly once, whether the library hands it back, closes
// it itself or gives up on it, and no close fails.
class HandleLedger {
 public:
  HandleLedger()
      : duplicate_("kernel32.dll", "DuplicateHandle",
                   reinterpret_cast<void*>(&Duplicate)),
        close_("kernel32.dll", "CloseHandle",
               reinterpret_cast<void*>(&Close)) {
    EXPECT_TRUE(duplicate_.applied() && close_.applied());
    original_duplicate_ = duplicate_.original<decltype(&DuplicateHandle)>();
    original_close_ = close_.original<decltype(&CloseHandle)>();
    outstanding_.clear();
    failed_closes_ = 0;
  }
  ~HandleLedger() {
    EXPECT_TRUE(outstanding_.empty()) << "a duplicate was never closed";
    EXPECT_EQ(failed_closes_, 0) << "a handle was closed twice";
  }

 private:
  static BOOL WINAPI Duplicate(HANDLE source_process, HANDLE source,
                               HANDLE target_process, LPHANDLE target,
                               DWORD access, BOOL inherit, DWORD options) {
    const BOOL duplicated =
        original_duplicate_(source_process, source, target_process, target,
                            access, inherit, options);
    if (duplicated) outstanding_.insert(*target);
    return duplicated;
  }
  static BOOL WINAPI Close(HANDLE handle) {
    outstanding_.erase(handle);
    const BOOL closed = original_close_(handle);
    // Wine's library closes a null handle for a next cabinet that it never
    // opened; no handle of the stub's is null.
    if (!closed && handle != nullptr) ++failed_closes_;
    return closed;
  }

  static inline decltype(&DuplicateHandle) original_duplicate_ = nullptr;
  static inline decltype(&CloseHandle) original_close_ = nullptr;
  static inline std::set<HANDLE> outstanding_;
  static inline int failed_closes_ = 0;
  testing_support::ImportPatch duplicate_;
  testing_support::ImportPatch close_;
};

// `cabinet` with its first file's stored attributes set to `attributes`,
// written into `folder` as "SETUP.EX_"; its path.
std::wstring PlaceCabinet(const ScratchFolder& folder, std::string cabinet,
                          uint32_t attributes) {
  unpack_testing::SetFirstFileAttributes(&cabinet, attributes);
  const std::wstring path = folder.Child(L"SETUP.EX_");
  WriteWholeFile(path, cabinet);
  return path;
}

// Expands as the run does: the cabinet lies in the held folder of the
// destination (a copy of `cabinet` is put there under its own name when it
// lies elsewhere) and is held there for reading only; the destination is
// made beside it. The expanded file's hold is let go before returning.
bool Expand(const std::wstring& cabinet, const std::wstring& destination) {
  const size_t cut = destination.rfind(L'\\') + 1;
  const std::wstring folder = destination.substr(0, cut);
  const std::wstring name = cabinet.substr(cabinet.rfind(L'\\') + 1);
  const std::wstring placed = folder + name;
  if (cabinet != placed && FileExists(cabinet)) {
    EXPECT_TRUE(CopyFileW(cabinet.c_str(), placed.c_str(), FALSE));
  }
  testing_support::HeldFolder held_folder(folder);
  HeldFile held_cabinet;
  held_cabinet.handle.Reset(CreateFileW(placed.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  if (held_cabinet.IsHeld()) {
    ReadFileIdentity(held_cabinet.handle.get(), &held_cabinet.identity);
  }
  HeldFile expanded;
  const RunOutcome outcome =
      CabinetExpander(placed.c_str(), held_cabinet, held_folder.handle(),
                      destination.substr(cut).c_str(), &expanded);
  const bool whole = outcome.Succeeded();
  // A cabinet that does not expand is a setup program not unpacked, with no
  // error of its own.
  if (!whole) {
    EXPECT_EQ(outcome.exit_code,
              static_cast<uint32_t>(ExitCode::SetupNotUnpacked));
    EXPECT_EQ(outcome.windows_error, 0u);
  }
  EXPECT_EQ(expanded.IsHeld(), whole);
  expanded.Release();
  held_cabinet.Release();
  return whole;
}

TEST(CabinetExpanderTest, ExpandsShippedSizeSetup) {
  ScratchFolder folder(L"expand");
  const std::string cabinet = ReadTestData("setup_large.cab");
  const std::wstring destination = folder.Child(L"setup.exe");
  CapturedBasicInfo basic_info;
  ASSERT_TRUE(Expand(TestDataPath("setup_large.cab"), destination));

  const std::string expanded = ReadWholeFile(destination);
  ASSERT_EQ(expanded.size(), 4491776u);
  EXPECT_TRUE(expanded == ReadTestData("setup_large.bin"));
  const CabinetFile stored = FirstFile(cabinet);
  ASSERT_EQ(basic_info.records().size(), 1u);
  ExpectBasicInfo(basic_info.records()[0], stored);
  // gcab stores the archive bit only.
  ASSERT_EQ(stored.attributes, 0x20u);
  EXPECT_EQ(GetFileAttributesW(destination.c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  // The cabinet is only read.
  EXPECT_TRUE(ReadTestData("setup_large.cab") == cabinet);
}

TEST(CabinetExpanderTest, KeepsOnlyFileAttributesOfTheCabinet) {
  // Execute (0x40) and UTF-8 name (0x80) are the cabinet's own bits.
  const uint32_t cases[] = {0x01 | 0x02 | 0x20 | 0x40 | 0x80, 0x04 | 0x20,
                            0x01 | 0x40, 0x80};
  const std::string original = ReadTestData("setup_small.cab");
  for (const uint32_t stored : cases) {
    SCOPED_TRACE(stored);
    ScratchFolder folder(L"attributes");
    const std::wstring cabinet_path =
        PlaceCabinet(folder, original, stored);
    const std::wstring destination = folder.Child(L"setup.exe");
    CapturedBasicInfo basic_info;
    ASSERT_TRUE(Expand(cabinet_path, destination));
    ASSERT_EQ(basic_info.records().size(), 1u);
    ExpectBasicInfo(basic_info.records()[0],
                    FirstFile(ReadWholeFile(cabinet_path)));
    // What the file system kept: read-only, hidden and system as stored,
    // never the device (0x40) or normal (0x80) bit.
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    EXPECT_EQ(attributes & 0xC7, stored & 0x07);
    EXPECT_TRUE(ReadWholeFile(destination) == ReadTestData("setup_small.bin"));
  }
}

// The first file's stored attributes must not stand in the way of the
// second, which replaces it.
TEST(CabinetExpanderTest, LastFileOfSeveralWins) {
  const std::string original = ReadTestData("two_files.cab");
  for (const uint32_t first_attributes : {0x20u, 0x01u | 0x02u | 0x04u}) {
    SCOPED_TRACE(first_attributes);
    ScratchFolder folder(L"two_files");
    const std::wstring cabinet_path =
        PlaceCabinet(folder, original, first_attributes);
    const std::wstring destination = folder.Child(L"setup.exe");
    HandleLedger ledger;
    ASSERT_TRUE(Expand(cabinet_path, destination));
    EXPECT_TRUE(ReadWholeFile(destination) == ReadTestData("second.bin"));
    EXPECT_EQ(GetFileAttributesW(destination.c_str()) & 0x07, 0u);
  }
}

TEST(CabinetExpanderTest, UnfinishedExpansionLeavesNoFile) {
  const std::string large = ReadTestData("setup_large.cab");
  const std::string small = ReadTestData("setup_small.cab");
  std::string from_previous = small;
  unpack_testing::SetFirstFileFolder(&from_previous, 0xFFFD);
  std::string previous_and_next = small;
  unpack_testing::SetFirstFileFolder(&previous_and_next, 0xFFFF);
  std::string damaged_read_only =
      unpack_testing::DamageMiddleBlock(large, true);
  unpack_testing::SetFirstFileAttributes(&damaged_read_only, 0x21);
  // Wine's library closes the destination itself when the folder cannot be
  // decoded at all.
  std::string unknown_compression = small;
  unpack_testing::Write16(&unknown_compression,
                          unpack_testing::kFolderCompression, 0x000F);
  struct Case {
    const char* what;
    std::string cabinet;
  } const cases[] = {
      {"data block checksum mismatch",
       unpack_testing::DamageMiddleBlock(large, false)},
      {"MSZIP data damaged, no checksum",
       unpack_testing::DamageMiddleBlock(large, true)},
      {"damaged, stored read-only", damaged_read_only},
      {"continued from a previous cabinet", from_previous},
      {"continued from previous and into next", previous_and_next},
      {"continues into a next cabinet",
       unpack_testing::ContinueIntoNextCabinet(small, 2)},
      {"unknown compression", unknown_compression},
      {"not a cabinet", std::string(5000, 'x')},
      {"truncated", large.substr(0, large.size() / 2)},
  };
  for (const Case& c : cases) {
    ScratchFolder folder(L"unfinished");
    const std::wstring cabinet_path = folder.Child(L"SETUP.EX_");
    WriteWholeFile(cabinet_path, c.cabinet);
    const std::wstring destination = folder.Child(L"setup.exe");
    SCOPED_TRACE(c.what);
    HandleLedger ledger;
    EXPECT_FALSE(Expand(cabinet_path, destination))
        << c.what;
    EXPECT_FALSE(FileExists(destination)) << c.what;
    EXPECT_TRUE(FileExists(cabinet_path)) << c.what;
  }
}

// A real volume that runs full during the expansion (the small tmpfs that
// the test fixture mounts when it may): the cabinet fits, the expanded file
// does not. Wine's library goes on after the failed write and reports the
// file finished; it must not count.
TEST(CabinetExpanderTest, RealFullVolume) {
  const std::wstring volume = testing_support::FullVolumeFolder();
  if (volume.empty()) {
    GTEST_SKIP() << "no small volume that runs full (STUB_TEST_FULL_VOLUME)";
  }
  const std::string cabinet = ReadTestData("setup_large.cab");
  const std::wstring cabinet_path = volume + L"SETUP.EX_";
  WriteWholeFile(cabinet_path, cabinet);
  // Leave a megabyte of the 4.3 MiB that the expanded file needs.
  ULARGE_INTEGER free_bytes{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(volume.c_str(), &free_bytes, nullptr,
                                  nullptr));
  const std::wstring filler = volume + L"filler.bin";
  WriteWholeFile(filler, std::string(free_bytes.QuadPart - (1 << 20), 'f'));
  const std::wstring destination = volume + L"setup.exe";
  {
    HandleLedger ledger;
    EXPECT_FALSE(Expand(cabinet_path, destination));
  }
  EXPECT_FALSE(FileExists(destination));
  DeleteFileW(filler.c_str());
  DeleteFileW(cabinet_path.c_str());
}

TEST(CabinetExpanderTest, MissingCabinetFails) {
  ScratchFolder folder(L"missing");
  const std::wstring destination = folder.Child(L"setup.exe");
  EXPECT_FALSE(Expand(folder.Child(L"SETUP.EX_"), destination));
  EXPECT_FALSE(FileExists(destination));
}

// A read-only file does not refuse replacement here (Wine maps the
// attribute to Unix permissions, and the tests run as root), so the
// destination is held open without sharing instead, or is a folder.
TEST(CabinetExpanderTest, DestinationThatCannotBeReplacedStaysUntouched) {
  ScratchFolder folder(L"held");
  const std::wstring cabinet = TestDataPath("setup_small.cab");
  const std::wstring held = folder.Child(L"setup.exe");
  WriteWholeFile(held, "old setup");
  HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Expand(cabinet, held));
  CloseHandle(holder);
  EXPECT_TRUE(ReadWholeFile(held) == "old setup");

  const std::wstring a_folder = folder.Child(L"folder.exe");
  ASSERT_TRUE(CreateDirectoryW(a_folder.c_str(), nullptr));
  EXPECT_FALSE(Expand(cabinet, a_folder));
  EXPECT_EQ(GetFileAttributesW(a_folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(CabinetExpanderTest, CabinetPathNeedsAFolderPart) {
  ScratchFolder folder(L"no_folder");
  const std::wstring destination = folder.Child(L"setup.exe");
  // The current folder holds a real cabinet under that name, so only the
  // missing folder part can make these fail.
  const std::wstring current = folder.path();
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
  WriteWholeFile(folder.Child(L"SETUP.EX_"), ReadTestData("setup_small.cab"));
  testing_support::HeldFolder held_folder(current);
  HeldFile cabinet;
  cabinet.handle.Reset(CreateFileW(L"SETUP.EX_", GENERIC_READ,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
  ASSERT_TRUE(cabinet.IsHeld());
  ASSERT_TRUE(ReadFileIdentity(cabinet.handle.get(), &cabinet.identity));
  HeldFile expanded;
  EXPECT_FALSE(CabinetExpander(L"SETUP.EX_", cabinet, held_folder.handle(),
                               L"setup.exe", &expanded)
                   .Succeeded());
  EXPECT_FALSE(CabinetExpander(L"\\SETUP.EX_", cabinet, held_folder.handle(),
                               L"setup.exe", &expanded)
                   .Succeeded());
  cabinet.Release();
  SetCurrentDirectoryW(previous);
  EXPECT_FALSE(expanded.IsHeld());
  EXPECT_FALSE(FileExists(destination));
  // The library was loaded before the path was looked at, and stays.
  EXPECT_NE(GetModuleHandleW(L"cabinet.dll"), nullptr);
}

struct LoaderCalls {
  std::vector<std::wstring> library_paths;
  std::vector<DWORD> library_flags;
  std::vector<std::string> entry_points;
};

LoaderCalls* g_loader_calls = nullptr;
testing_support::ImportPatch* g_load_patch = nullptr;
testing_support::ImportPatch* g_lookup_patch = nullptr;

HMODULE WINAPI CountingLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  g_loader_calls->library_paths.push_back(path);
  g_loader_calls->library_flags.push_back(flags);
  return g_load_patch->original<decltype(&LoadLibraryExW)>()(path, file,
                                                             flags);
}

FARPROC WINAPI CountingGetProcAddress(HMODULE module, LPCSTR name) {
  if (module == GetModuleHandleW(L"cabinet.dll") &&
      !IS_INTRESOURCE(name)) {
    g_loader_calls->entry_points.push_back(name);
  }
  return g_lookup_patch->original<decltype(&GetProcAddress)>()(module, name);
}

TEST(CabinetExpanderTest, LoadsTheLibraryOncePerProcess) {
  // Whether an earlier test of this binary already loaded the library
  // decides whether the first expansion here has to load it.
  const bool loaded_before = GetModuleHandleW(L"cabinet.dll") != nullptr;
  LoaderCalls calls;
  g_loader_calls = &calls;
  testing_support::ImportPatch load("kernel32.dll", "LoadLibraryExW",
                                    reinterpret_cast<void*>(
                                        &CountingLoadLibraryExW));
  testing_support::ImportPatch lookup("kernel32.dll", "GetProcAddress",
                                      reinterpret_cast<void*>(
                                          &CountingGetProcAddress));
  ASSERT_TRUE(load.applied());
  ASSERT_TRUE(lookup.applied());
  g_load_patch = &load;
  g_lookup_patch = &lookup;

  ScratchFolder folder(L"load_once");
  const std::wstring destination = folder.Child(L"setup.exe");
  const std::wstring cabinet = TestDataPath("setup_small.cab");
  ASSERT_TRUE(Expand(cabinet, destination));
  if (loaded_before) {
    EXPECT_TRUE(calls.library_paths.empty());
  } else {
    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    ASSERT_EQ(calls.library_paths.size(), 1u);
    EXPECT_EQ(calls.library_paths[0], std::wstring(system) + L"\\cabinet.dll");
    EXPECT_EQ(calls.library_flags[0],
              static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
  }
  const std::vector<std::string> one_lookup = {"FDICreate", "FDIDestroy",
                                               "FDICopy"};
  EXPECT_EQ(calls.entry_points, one_lookup);

  const size_t loads_after_first = calls.library_paths.size();
  ASSERT_TRUE(DeleteFileW(destination.c_str()));
  ASSERT_TRUE(Expand(cabinet, destination));
  EXPECT_EQ(calls.library_paths.size(), loads_after_first);
  EXPECT_EQ(calls.entry_points.size(), 6u);
  EXPECT_TRUE(ReadWholeFile(destination) == ReadTestData("setup_small.bin"));
  g_loader_calls = nullptr;
}

// The runs under the strict cabinet library must really use it.
TEST(CabinetExpanderTest, RunsUnderTheLibraryItExpects) {
  ScratchFolder folder(L"which_library");
  const std::wstring destination = folder.Child(L"setup.exe");
  ASSERT_TRUE(Expand(TestDataPath("setup_small.cab"), destination));
  const char* strict_expected = std::getenv("STRICT_CABINET_EXPECTED");
  EXPECT_EQ(GetProcAddress(GetModuleHandleW(L"cabinet.dll"),
                           "StrictCabinetContract") != nullptr,
            strict_expected != nullptr && std::string(strict_expected) == "1");
}

}  // namespace
}  // namespace installer
