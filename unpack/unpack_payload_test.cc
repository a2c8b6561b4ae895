#include "unpack/unpack_payload.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/import_patch.h"
#include "testing/test_paths.h"
#include "unpack/testdata/cabinet_bytes.h"
#include "unpack/testdata/payload_image.h"

namespace installer {
namespace {

using testing_support::ImportPatch;
using testing_support::ReadWholeFile;
using testing_support::ScratchFolder;
using unpack_testing::ImageResource;
using unpack_testing::PayloadImage;
using unpack_testing::ReadTestData;

// The names of the files and folders in `folder`, sorted.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

struct Unpacked {
  RunOutcome outcome;
  std::wstring setup_path;
  std::wstring setup_type;
  std::wstring archive_path;
  std::wstring archive_type;
  int32_t max_delete_attempts;
};

// `image_path`, the file the module was loaded from, is where the payload
// is read; without it, the mapped pages are.
Unpacked Unpack(HMODULE module, const std::wstring& work_folder,
                int32_t max_delete_attempts = 0,
                const wchar_t* image_path = nullptr) {
  PathString setup_path;
  TypeTagString setup_type;
  PathString archive_path;
  TypeTagString archive_type;
  ImageFile image;
  if (image_path != nullptr) image.Open(module, image_path);
  testing_support::HeldFolder folder(work_folder);
  HeldFile archive_hold;
  HeldFile setup_hold;
  HeldFile expanded_hold;
  const RunOutcome outcome = UnpackPayload(
      module, &image, work_folder.c_str(), folder.handle(), &setup_path,
      &setup_type, &archive_path, &archive_type, &max_delete_attempts,
      &archive_hold, &setup_hold, &expanded_hold);
  // Both files are held for reading only once the stage succeeds; the
  // expanded program's own hold never outlives it.
  if (outcome.Succeeded()) {
    EXPECT_TRUE(archive_hold.IsHeld());
    EXPECT_TRUE(setup_hold.IsHeld());
  }
  EXPECT_FALSE(expanded_hold.IsHeld());
  archive_hold.Release();
  setup_hold.Release();
  return Unpacked{outcome,
                  setup_path.data(),
                  setup_type.data(),
                  archive_path.data(),
                  archive_type.data(),
                  max_delete_attempts};
}

// A work folder whose path, trailing backslash included, is `length` units
// long. Windows creates a folder past 247 units only by its long-path form,
// which this uses; the unpacking itself gets the plain path, as the run
// would.
std::wstring WorkFolderOfLength(const ScratchFolder& scratch, size_t length) {
  std::wstring folder = scratch.path();
  EXPECT_LT(folder.size() + 2, length);
  folder += std::wstring(length - folder.size() - 1, L'w') + L"\\";
  EXPECT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
  return folder;
}

TEST(UnpackPayloadTest, ShippedLayout) {
  const HMODULE module = LoadLibraryExW(
      unpack_testing::TestDataPath("shipped_image.dll").c_str(), nullptr, 0);
  ASSERT_NE(module, nullptr);
  ScratchFolder work(L"shipped");
  const Unpacked result = Unpack(module, work.path());
  EXPECT_EQ(result.outcome.exit_code, 0u);
  EXPECT_EQ(result.outcome.windows_error, 0u);
  EXPECT_EQ(result.archive_type, L"B7");
  EXPECT_EQ(result.setup_type, L"BL");
  EXPECT_EQ(result.archive_path, work.Child(L"KORVEL.PACKED.7Z"));
  EXPECT_EQ(result.setup_path, work.Child(L"setup.exe"));
  // The compressed setup file was deleted at the first attempt.
  EXPECT_EQ(result.max_delete_attempts, 1);
  EXPECT_EQ(FilesIn(work.path()),
            (std::vector<std::wstring>{L"KORVEL.PACKED.7Z", L"setup.exe"}));
  EXPECT_TRUE(ReadWholeFile(result.archive_path) == ReadTestData("archive.7z"));
  const std::string setup = ReadWholeFile(result.setup_path);
  EXPECT_EQ(setup.size(), 4491776u);
  EXPECT_TRUE(setup == ReadTestData("setup_large.bin"));
  FreeLibrary(module);
}

struct LayoutCase {
  const char* what;
  std::vector<ImageResource> resources;
  int32_t max_before;
  RunOutcome outcome;
  std::wstring archive_type;
  std::wstring setup_type;
  std::wstring archive_file;  // empty: the archive path stays empty
  std::wstring setup_file;    // empty: the setup path stays empty
  std::vector<std::wstring> files_left;
  std::string archive_bytes;
  std::string setup_bytes;  // checked when not empty
  int32_t max_after;
};

TEST(UnpackPayloadTest, Layouts) {
  const std::string archive = ReadTestData("archive.7z");
  const std::string cabinet = ReadTestData("setup_small.cab");
  const std::string expanded = ReadTestData("setup_small.bin");
  const std::string plain_setup = "MZ plain setup program";
  const LayoutCase cases[] = {
      {"uncompressed setup runs as setup.exe",
       {{L"B7", L"KORVEL.PACKED.7Z", archive}, {L"BN", L"SETUP", plain_setup}},
       0, {0, 0}, L"B7", L"BN", L"KORVEL.PACKED.7Z", L"setup.exe",
       {L"KORVEL.PACKED.7Z", L"setup.exe"}, archive, plain_setup, 0},
      {"uncompressed archive keeps its name",
       {{L"BN", L"KORVEL.PLAIN", archive}, {L"BN", L"SETUP.BIN", plain_setup}},
       0, {0, 0}, L"BN", L"BN", L"KORVEL.PLAIN", L"setup.exe",
       {L"KORVEL.PLAIN", L"setup.exe"}, archive, plain_setup, 0},
      {"archive in BL is written as stored",
       {{L"BL", L"KORVEL.CAB", cabinet}, {L"BN", L"SETUP", plain_setup}},
       0, {0, 0}, L"BL", L"BN", L"KORVEL.CAB", L"setup.exe",
       {L"KORVEL.CAB", L"setup.exe"}, cabinet, plain_setup, 0},
      {"patch in B7 keeps its name",
       {{L"B7", L"KORVEL.PACKED.7Z", archive},
        {L"B7", L"SETUP.PATCH", plain_setup}},
       3, {0, 0}, L"B7", L"B7", L"KORVEL.PACKED.7Z", L"SETUP.PATCH",
       {L"KORVEL.PACKED.7Z", L"SETUP.PATCH"}, archive, plain_setup, 3},
      {"cabinet setup, a larger maximum stays",
       {{L"B7", L"KORVEL.PACKED.7Z", archive}, {L"BL", L"SETUP.EX_", cabinet}},
       7, {0, 0}, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"setup.exe",
       {L"KORVEL.PACKED.7Z", L"setup.exe"}, archive, expanded, 7},
      {"setup resource that is no cabinet",
       {{L"B7", L"KORVEL.PACKED.7Z", archive},
        {L"BL", L"SETUP.EX_", plain_setup}},
       0, {115, 0}, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"setup.exe",
       {L"KORVEL.PACKED.7Z"}, archive, "", 1},
      {"cabinet named like its own expansion",
       {{L"B7", L"KORVEL.PACKED.7Z", archive}, {L"BL", L"SETUP.EXE", cabinet}},
       0, {115, 0}, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"setup.exe",
       {L"KORVEL.PACKED.7Z"}, archive, "", 1},
      {"search failure writes nothing",
       {{L"B7", L"KORVEL.A", archive}, {L"B7", L"KORVEL.B", archive},
        {L"BL", L"SETUP.EX_", cabinet}},
       0, {112, 68}, L"", L"", L"", L"", {}, "", "", 0},
      {"missing setup writes nothing",
       {{L"B7", L"KORVEL.PACKED.7Z", archive}},
       0, {115, 2}, L"B7", L"", L"", L"", {}, "", "", 0},
  };
  ScratchFolder images(L"layout_images");
  int index = 0;
  // Each layout read from the mapped pages, and from the file through the
  // copy buffer.
  for (const bool from_file : {false, true})
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.what);
    SCOPED_TRACE(from_file ? "read from the file" : "read from the pages");
    PayloadImage image(images.Child(L"image" + std::to_wstring(index++) +
                                    L".dll"),
                       c.resources);
    ASSERT_NE(image.module(), nullptr);
    ScratchFolder work(L"layout");
    const Unpacked result =
        Unpack(image.module(), work.path(), c.max_before,
               from_file ? image.path().c_str() : nullptr);
    EXPECT_EQ(result.outcome.exit_code, c.outcome.exit_code);
    EXPECT_EQ(result.outcome.windows_error, c.outcome.windows_error);
    EXPECT_EQ(result.archive_type, c.archive_type);
    EXPECT_EQ(result.setup_type, c.setup_type);
    EXPECT_EQ(result.archive_path,
              c.archive_file.empty() ? L"" : work.Child(c.archive_file));
    EXPECT_EQ(result.setup_path,
              c.setup_file.empty() ? L"" : work.Child(c.setup_file));
    EXPECT_EQ(FilesIn(work.path()), c.files_left);
    if (!c.archive_bytes.empty()) {
      EXPECT_TRUE(ReadWholeFile(result.archive_path) == c.archive_bytes);
    }
    if (!c.setup_bytes.empty()) {
      EXPECT_TRUE(ReadWholeFile(result.setup_path) == c.setup_bytes);
    }
    EXPECT_EQ(result.max_delete_attempts, c.max_after);
  }
}

// Reads of the installer file, scripted by call; each payload item here is
// read in one. The reads of the file at the image's path are counted apart
// from the cabinet library's.
struct ReadScript {
  int calls = 0;
  int failing_call = 0;
  DWORD error = 0;  // 0: the call reads one byte less and succeeds
  decltype(&ReadFile) original = nullptr;
  BY_HANDLE_FILE_INFORMATION installer = {};
  int installer_reads = 0;
};
ReadScript* g_read_script;

bool SameFile(const BY_HANDLE_FILE_INFORMATION& left,
              const BY_HANDLE_FILE_INFORMATION& right) {
  return left.dwVolumeSerialNumber == right.dwVolumeSerialNumber &&
         left.nFileIndexHigh == right.nFileIndexHigh &&
         left.nFileIndexLow == right.nFileIndexLow;
}

BOOL WINAPI ScriptedReadFile(HANDLE file, void* buffer, DWORD size,
                             DWORD* read, OVERLAPPED* overlapped) {
  BY_HANDLE_FILE_INFORMATION identity = {};
  if (GetFileInformationByHandle(file, &identity) &&
      SameFile(identity, g_read_script->installer)) {
    ++g_read_script->installer_reads;
  }
  if (++g_read_script->calls != g_read_script->failing_call) {
    return g_read_script->original(file, buffer, size, read, overlapped);
  }
  if (g_read_script->error != 0) {
    SetLastError(g_read_script->error);
    return FALSE;
  }
  return g_read_script->original(file, buffer, size - 1, read, overlapped);
}

// What lies at the image's path once it is loaded. A program's file can be
// renamed while it runs, by anyone who may rename files in its folder, and
// another file put at its name: the same first bytes of each item, other
// bytes after them, or a file that ends early.
enum class AtPath { kImage, kCrafted, kShort };

// The image file's bytes with the archive's changed after its first 4 KiB,
// the part that a layout check compares; or, for kShort, cut off there.
std::string CraftedCopy(const std::string& image_bytes,
                        const std::string& archive, AtPath kind) {
  const size_t at = image_bytes.find(archive);
  EXPECT_NE(at, std::string::npos);
  EXPECT_GT(archive.size(), 8192u);
  std::string crafted = image_bytes;
  if (at == std::string::npos || archive.size() <= 8192) return crafted;
  if (kind == AtPath::kShort) return crafted.substr(0, at + 8192);
  for (size_t i = at + 4096; i < at + archive.size(); ++i) crafted[i] ^= 0x5A;
  return crafted;
}

// What NtAreMappedFilesTheSame answers for the module and a view of the file
// now at `path`: 0 when the system takes them for one file, else its status
// (0xC00000D4, STATUS_NOT_SAME_DEVICE, for two files). The stub reads the
// file only on 0.
uint32_t SameFileStatus(HMODULE module, const std::wstring& path) {
  using Function = LONG(NTAPI*)(PVOID image_view, PVOID file_view);
  const auto same = reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                     "NtAreMappedFilesTheSame")));
  if (same == nullptr) return 0xFFFFFFFFu;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0xFFFFFFFEu;
  const HANDLE mapping =
      CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  void* const view =
      mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 1)
                         : nullptr;
  uint32_t status = 0xFFFFFFFDu;
  if (view != nullptr) {
    // The low bits of a module handle say how it was mapped.
    status = static_cast<uint32_t>(same(
        reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(module) &
                                ~uintptr_t{3}),
        view));
    UnmapViewOfFile(view);
  }
  if (mapping != nullptr) CloseHandle(mapping);
  CloseHandle(file);
  return status;
}

// The payload comes from the installer file when it can be read and is the
// file the image was mapped from, and from the mapped pages otherwise; a
// read that fails while an item is copied fails that item's stage with the
// read's error, and leaves no partial file. The image is mapped as the
// loader maps the installer it starts, so that the system's answer to
// "the same file?" is the one a run gets.
TEST(UnpackPayloadTest, PayloadReadFromTheInstallerFile) {
  // Larger than the bytes a layout check compares.
  std::string archive = ReadTestData("archive.7z");
  while (archive.size() < 65536) archive += archive;
  const std::string cabinet = ReadTestData("setup_small.cab");
  struct Case {
    const char* what;
    bool held;
    AtPath at_path;
    ReadScript script;
    RunOutcome outcome;
    std::vector<std::wstring> files_left;
    int file_reads;  // ReadFile calls on the installer file
  } const cases[] = {
      {"read from the file", false, AtPath::kImage, {}, {0, 0},
       {L"KORVEL.PACKED.7Z", L"setup.exe"}, 2},
      {"file held without sharing: the pages serve", true, AtPath::kImage, {},
       {0, 0}, {L"KORVEL.PACKED.7Z", L"setup.exe"}, 0},
      {"another file put at its path: the pages serve", false,
       AtPath::kCrafted, {}, {0, 0}, {L"KORVEL.PACKED.7Z", L"setup.exe"}, 0},
      {"a shorter file put at its path: the pages serve", false,
       AtPath::kShort, {}, {0, 0}, {L"KORVEL.PACKED.7Z", L"setup.exe"}, 0},
      {"a read fails in the archive", false, AtPath::kImage,
       {0, 1, ERROR_NOT_READY}, {112, ERROR_NOT_READY}, {}, 1},
      {"the file ends in the archive", false, AtPath::kImage, {0, 1, 0},
       {112, ERROR_HANDLE_EOF}, {}, 1},
      {"a read fails in the setup program", false, AtPath::kImage,
       {0, 2, ERROR_NOT_READY}, {116, ERROR_NOT_READY}, {L"KORVEL.PACKED.7Z"},
       2},
  };
  ScratchFolder images(L"source_images");
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A name of its own: a program's name is its module's name too.
    const std::wstring name = L"source_image" + std::to_wstring(index++);
    PayloadImage image(images.Child(name + L".dll"),
                       {{L"B7", L"KORVEL.PACKED.7Z", archive},
                        {L"BL", L"SETUP.EX_", cabinet}},
                       unpack_testing::Mapping::kProgram);
    ASSERT_NE(image.module(), nullptr);
    if (c.at_path != AtPath::kImage) {
      const std::string crafted =
          CraftedCopy(ReadWholeFile(image.path()), archive, c.at_path);
      ASSERT_TRUE(MoveFileW(image.path().c_str(),
                            images.Child(name + L".aside").c_str()));
      testing_support::WriteWholeFile(image.path(), crafted);
    }
    // The route first: the file is read only when the system says it is
    // the one mapped. Any other answer for the very file is the system's,
    // and is told with its status; a rightful fall back to the pages would
    // otherwise pass the rows that read the file as a silent 0.
    const uint32_t same = SameFileStatus(image.module(), image.path());
    if (c.at_path == AtPath::kImage) {
      ASSERT_EQ(same, 0u) << std::hex << std::showbase
                          << "NtAreMappedFilesTheSame does not take the file "
                             "the module was mapped from for its own: "
                          << same;
    } else {
      EXPECT_NE(same, 0u) << "another file at the path is taken for the one "
                             "mapped";
    }
    ScratchFolder work(L"source");
    ReadScript script = c.script;
    // The file that lies at the path now, whose reads are counted.
    const HANDLE at_path =
        CreateFileW(image.path().c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(at_path, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetFileInformationByHandle(at_path, &script.installer));
    CloseHandle(at_path);
    // Another program's handle that shares nothing (a scanner's, say).
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (c.held) {
      holder = CreateFileW(image.path().c_str(), GENERIC_READ, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    }
    g_read_script = &script;
    Unpacked result;
    {
      ImportPatch patch("kernel32.dll", "ReadFile",
                        reinterpret_cast<void*>(&ScriptedReadFile));
      ASSERT_TRUE(patch.applied());
      script.original = patch.original<decltype(&ReadFile)>();
      result = Unpack(image.module(), work.path(), 0, image.path().c_str());
    }
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
    EXPECT_EQ(script.installer_reads, c.file_reads)
        << (c.file_reads > 0 ? "the payload did not come from the file"
                             : "the payload came from the file");
    EXPECT_EQ(result.outcome.exit_code, c.outcome.exit_code);
    EXPECT_EQ(result.outcome.windows_error, c.outcome.windows_error);
    EXPECT_EQ(FilesIn(work.path()), c.files_left);
    if (c.outcome.exit_code == 0) {
      EXPECT_TRUE(ReadWholeFile(result.archive_path) == archive);
    }
  }
}

TEST(UnpackPayloadTest, PathsThatDoNotFit) {
  const std::string cabinet = ReadTestData("setup_small.cab");
  ScratchFolder scratch(L"long");
  struct Case {
    const char* what;
    size_t folder_length;
    std::vector<ImageResource> resources;
    std::vector<std::wstring> files_left;
    bool archive_path_set;
    bool setup_path_set;
  } const cases[] = {
      // 244 + 16 = 260 units: one more than a path may hold.
      {"archive name", 244,
       {{L"B7", L"KORVEL.PACKED.7Z", "7z"}, {L"BL", L"SETUP.EX_", cabinet}},
       {}, false, false},
      {"setup name", 240,
       {{L"B7", L"KORVEL.7Z", "7z"},
        {L"B7", L"SETUP.PATCH.FILE.NAME", "patch"}},
       {L"KORVEL.7Z"}, true, false},
      {"expanded setup.exe", 251,
       {{L"B7", L"KORVEL", "7z"}, {L"BL", L"SETUP", cabinet}},
       {L"KORVEL", L"SETUP"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PayloadImage image(scratch.Child(L"image.dll"), c.resources);
    ASSERT_NE(image.module(), nullptr);
    const std::wstring work = WorkFolderOfLength(scratch, c.folder_length);
    const Unpacked result = Unpack(image.module(), work);
    EXPECT_EQ(result.outcome.exit_code, 108u);
    EXPECT_EQ(result.outcome.windows_error, 0u);
    EXPECT_EQ(FilesIn(work), c.files_left);
    EXPECT_EQ(result.archive_path.empty(), !c.archive_path_set);
    EXPECT_EQ(result.setup_path.empty(), !c.setup_path_set);
    for (const std::wstring& file : FilesIn(work)) {
      DeleteFileW((work + file).c_str());
    }
    RemoveDirectoryW((L"\\\\?\\" + work).c_str());
  }
}

// WriteFile through the binary's import table, failing from the n-th call on.
int g_writes_before_failure = 0;
testing_support::ImportPatch* g_write_patch = nullptr;

BOOL WINAPI FailingWriteFile(HANDLE file, LPCVOID data, DWORD size,
                             LPDWORD written, LPOVERLAPPED overlapped) {
  if (g_writes_before_failure-- <= 0) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return g_write_patch->original<decltype(&WriteFile)>()(file, data, size,
                                                          written, overlapped);
}

TEST(UnpackPayloadTest, WriteFailures) {
  // Over 8 MiB, so the archive takes two writes and the second one fails.
  const std::string big_archive(9 << 20, 'a');
  struct Case {
    const char* what;
    int writes_before_failure;
    std::string archive;
    uint32_t exit_code;
    std::vector<std::wstring> files_left;
  } const cases[] = {
      {"archive, part-way", 1, big_archive, 112, {}},
      {"setup program", 1, "7z", 116, {L"KORVEL.PACKED.7Z"}},
  };
  ScratchFolder scratch(L"write_failure");
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PayloadImage image(scratch.Child(L"image" + std::to_wstring(index++) +
                                     L".dll"),
                       {{L"B7", L"KORVEL.PACKED.7Z", c.archive},
                        {L"BN", L"SETUP", "MZ setup"}});
    ASSERT_NE(image.module(), nullptr);
    ScratchFolder work(L"write_failure_work");
    Unpacked result;
    {
      testing_support::ImportPatch patch(
          "kernel32.dll", "WriteFile",
          reinterpret_cast<void*>(&FailingWriteFile));
      ASSERT_TRUE(patch.applied());
      g_write_patch = &patch;
      g_writes_before_failure = c.writes_before_failure;
      result = Unpack(image.module(), work.path());
    }
    EXPECT_EQ(result.outcome.exit_code, c.exit_code);
    EXPECT_EQ(result.outcome.windows_error,
              static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(FilesIn(work.path()), c.files_left);
  }
}

}  // namespace
}  // namespace installer
