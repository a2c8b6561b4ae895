#include "unpack/output_file.h"

#include <windows.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/import_patch.h"
#include "testing/noisy_close.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::HeldFolder;
using testing_support::ImportPatch;
using testing_support::ReadWholeFile;
using testing_support::ScratchFolder;
using testing_support::WriteWholeFile;

constexpr DWORD kMiB = 1024 * 1024;

// What the patched WriteFile does on one call, counted from 1: fail with an
// error, or report success for fewer bytes than it was given (written
// for real).
struct ScriptedCall {
  int call;
  DWORD fail_error;  // 0: succeed ...
  DWORD short_by;    // ... for this many bytes fewer
};

struct WriteScript {
  decltype(&WriteFile) original = nullptr;
  std::vector<DWORD> sizes;
  std::vector<ScriptedCall> calls;
};
WriteScript* write_script = nullptr;

BOOL WINAPI ScriptedWriteFile(HANDLE file, LPCVOID data, DWORD size,
                              LPDWORD written, LPOVERLAPPED overlapped) {
  WriteScript& script = *write_script;
  script.sizes.push_back(size);
  for (const ScriptedCall& call : script.calls) {
    if (call.call != static_cast<int>(script.sizes.size())) continue;
    if (call.fail_error != 0) {
      *written = 0;
      SetLastError(call.fail_error);
      return FALSE;
    }
    size -= call.short_by;
  }
  return script.original(file, data, size, written, overlapped);
}

using testing_support::NoisyClose;

class PatchedWrites {
 public:
  explicit PatchedWrites(WriteScript* script)
      : patch_("kernel32.dll", "WriteFile",
               reinterpret_cast<void*>(&ScriptedWriteFile)) {
    script->original = patch_.original<decltype(&WriteFile)>();
    write_script = script;
  }
  ~PatchedWrites() { write_script = nullptr; }
  bool applied() const { return patch_.applied(); }

 private:
  ImportPatch patch_;
};

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 7919) ^ (i >> 13));
  }
  return bytes;
}

TEST(WriteBlockToFileTest, WritesLargeBlockInChunksOfEightMiB) {
  ScratchFolder folder(L"write");
  HeldFolder held(folder.path());
  const std::wstring path = folder.Child(L"archive.7z");
  const std::string block = Pattern(20 * kMiB);
  WriteScript script;
  {
    PatchedWrites patch(&script);
    ASSERT_TRUE(patch.applied());
    ASSERT_TRUE(WriteBlockToFile(block.data(), block.size(), held.handle(),
                                 L"archive.7z"));
  }
  EXPECT_EQ(script.sizes, (std::vector<DWORD>{8 * kMiB, 8 * kMiB, 4 * kMiB}));
  EXPECT_TRUE(ReadWholeFile(path) == block);
}

TEST(WriteBlockToFileTest, EmptyBlockMakesEmptyFileWithoutWriting) {
  ScratchFolder folder(L"write");
  HeldFolder held(folder.path());
  const std::wstring path = folder.Child(L"empty.bin");
  WriteScript script;
  {
    PatchedWrites patch(&script);
    ASSERT_TRUE(WriteBlockToFile("", 0, held.handle(), L"empty.bin"));
  }
  EXPECT_TRUE(script.sizes.empty());
  ASSERT_TRUE(FileExists(path));
  EXPECT_EQ(ReadWholeFile(path), "");
}

// A write that reports success for part of its buffer is followed by one
// for the rest. A write that fails leaves no file and its error survives the
// cleanup; one that makes no progress without an error counts as a fault.
TEST(WriteBlockToFileTest, PartialAndFailingWrites) {
  struct Case {
    const char* name;
    std::vector<ScriptedCall> calls;
    std::vector<DWORD> sizes;
    DWORD expected_error;  // 0: the whole block is written
  };
  const Case cases[] = {
      {"disk full", {{2, ERROR_DISK_FULL, 0}}, {8 * kMiB, 8 * kMiB},
       ERROR_DISK_FULL},
      {"short write, then the rest", {{2, 0, 5}},
       {8 * kMiB, 8 * kMiB, 5, 4 * kMiB}, 0},
      {"short write, then the volume is full",
       {{2, 0, 5}, {3, ERROR_DISK_FULL, 0}}, {8 * kMiB, 8 * kMiB, 5},
       ERROR_DISK_FULL},
      {"no progress and no error", {{2, 0, 8 * kMiB}}, {8 * kMiB, 8 * kMiB},
       ERROR_WRITE_FAULT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder(L"write");
    HeldFolder held(folder.path());
    const std::wstring path = folder.Child(L"setup.exe");
    const std::string block = Pattern(20 * kMiB);
    WriteScript script;
    script.calls = c.calls;
    bool written = false;
    DWORD error = 0;
    {
      PatchedWrites patch(&script);
      NoisyClose close;
      ASSERT_TRUE(close.applied());
      written = WriteBlockToFile(block.data(), block.size(), held.handle(),
                                 L"setup.exe");
      error = GetLastError();
    }
    EXPECT_EQ(script.sizes, c.sizes);
    if (c.expected_error == 0) {
      EXPECT_TRUE(written);
      EXPECT_TRUE(ReadWholeFile(path) == block);
    } else {
      EXPECT_FALSE(written);
      EXPECT_EQ(error, c.expected_error);
      EXPECT_FALSE(FileExists(path));
    }
  }
}

// A real volume that runs full (a small tmpfs that the test fixture mounts
// when it may). Under Wine a write that finds some room writes what fits and
// reports success: the partial write is not hypothetical.
TEST(WriteBlockToFileTest, RealFullVolume) {
  const std::wstring volume = testing_support::FullVolumeFolder();
  if (volume.empty()) {
    GTEST_SKIP() << "no small volume that runs full (STUB_TEST_FULL_VOLUME)";
  }
  const std::wstring path = volume + L"archive.7z";
  HeldFolder held(volume);
  ULARGE_INTEGER free_bytes{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(volume.c_str(), &free_bytes, nullptr,
                                  nullptr));
  ASSERT_GT(free_bytes.QuadPart, 4 * kMiB);
  // A block 4 MiB larger than the room: a later chunk finds none at all.
  const std::string block = Pattern(free_bytes.QuadPart + 4 * kMiB);
  SetLastError(0);
  EXPECT_FALSE(WriteBlockToFile(block.data(), block.size(), held.handle(),
                                L"archive.7z"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(FileExists(path));

  // With all but 4 MiB of the room taken, the first chunk is written only in
  // part; the write of its rest finds the volume full.
  const std::wstring filler = volume + L"filler.bin";
  ASSERT_TRUE(WriteBlockToFile(block.data(), free_bytes.QuadPart - 4 * kMiB,
                               held.handle(), L"filler.bin"));
  SetLastError(0);
  EXPECT_FALSE(WriteBlockToFile(block.data(), 8 * kMiB, held.handle(),
                                L"archive.7z"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(FileExists(path));
  DeleteFileW(filler.c_str());
}

// A new file only, made in the held folder, kept from every writer while it
// is written; the record empties it again through its own handle.
TEST(OutputFileTest, OpenMakesNewFileAndKeepsOthersOut) {
  ScratchFolder folder(L"output");
  HeldFolder held(folder.path());
  const std::wstring path = folder.Child(L"setup.exe");
  WriteWholeFile(path, "previous contents");
  OutputFile file;
  // A file found at the name is not the caller's to overwrite.
  EXPECT_FALSE(file.Open(held.handle(), L"setup.exe"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ReadWholeFile(path), "previous contents");
  ASSERT_TRUE(DeleteFileW(path.c_str()));
  ASSERT_TRUE(file.Open(held.handle(), L"setup.exe"));
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(std::wstring(file.name()), L"setup.exe");
  EXPECT_TRUE(WriteWhole(file.Handle(), "written", 7));

  // Read, never written, renamed or deleted by anyone else meanwhile.
  for (DWORD access :
       {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{DELETE}}) {
    HANDLE other =
        CreateFileW(path.c_str(), access,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other != INVALID_HANDLE_VALUE, access == GENERIC_READ)
        << "access " << access;
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  EXPECT_FALSE(MoveFileW(path.c_str(), folder.Child(L"moved").c_str()));
  ASSERT_TRUE(file.Truncate());
  EXPECT_TRUE(WriteWhole(file.Handle(), "again", 5));
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(file.name()), L"");
  EXPECT_EQ(ReadWholeFile(path), "again");
}

// A finished file is held for reading only: programs may read and run it,
// nobody may write, rename or delete it; the hold's identity is the file's.
TEST(OutputFileTest, FinishedFileIsHeldForReadingOnly) {
  ScratchFolder folder(L"output");
  HeldFolder held_folder(folder.path());
  const std::wstring path = folder.Child(L"KORVEL.PACKED.7Z");
  HeldFile held;
  ASSERT_TRUE(WriteBlockToFile("7z", 2, held_folder.handle(),
                               L"KORVEL.PACKED.7Z", &held));
  ASSERT_TRUE(held.IsHeld());
  const HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  FileIdentity read;
  EXPECT_TRUE(ReadFileIdentity(reader, &read));
  EXPECT_TRUE(SameFile(read, held.identity));
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  for (DWORD access : {DWORD{GENERIC_WRITE}, DWORD{DELETE}}) {
    const HANDLE other =
        CreateFileW(path.c_str(), access,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "access " << access;
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  EXPECT_FALSE(MoveFileW(path.c_str(), folder.Child(L"moved").c_str()));
  held.Release();
  EXPECT_TRUE(held.identity.known);
  EXPECT_EQ(ReadWholeFile(path), "7z");
}

// A file that a failure leaves unfinished goes with the record, and the
// failure's error stays; the record lets go of it only once the library's
// duplicate is closed too.
TEST(OutputFileTest, AbandonedFileGoes) {
  ScratchFolder folder(L"output");
  HeldFolder held(folder.path());
  const std::wstring path = folder.Child(L"setup.exe");
  OutputFile file;
  ASSERT_TRUE(file.Open(held.handle(), L"setup.exe"));
  UniqueFileHandle duplicate(file.Duplicate());
  ASSERT_TRUE(duplicate.IsValid());
  ASSERT_NE(duplicate.get(), file.Handle());
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(duplicate.get(), "abc", 3, &written, nullptr));
  duplicate.Reset();
  SetLastError(ERROR_DISK_FULL);
  file.Abandon();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(FileExists(path));
}

TEST(OutputFileTest, ReopenClosesPreviousFile) {
  ScratchFolder folder(L"output");
  HeldFolder held(folder.path());
  const std::wstring first = folder.Child(L"first.bin");
  OutputFile file;
  ASSERT_TRUE(file.Open(held.handle(), L"first.bin"));
  ASSERT_TRUE(file.Open(held.handle(), L"second.bin"));
  EXPECT_EQ(std::wstring(file.name()), L"second.bin");
  // The first file is no longer held: it can be opened for reading.
  HANDLE other = CreateFileW(first.c_str(), GENERIC_READ, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  file.Close();
}

int platform_calls = 0;
BOOL WINAPI CountedDuplicateHandle(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD,
                                   BOOL, DWORD) {
  ++platform_calls;
  return FALSE;
}
BOOL WINAPI CountedSetFileInformation(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                      DWORD) {
  ++platform_calls;
  return FALSE;
}
BOOL WINAPI CountedCloseHandle(HANDLE) {
  ++platform_calls;
  return FALSE;
}
FARPROC WINAPI CountedLookup(HMODULE, LPCSTR) {
  ++platform_calls;
  return nullptr;
}

TEST(OutputFileTest, EmptyRecordMakesNoPlatformCall) {
  ImportPatch duplicate("kernel32.dll", "DuplicateHandle",
                        reinterpret_cast<void*>(&CountedDuplicateHandle));
  ImportPatch mark("kernel32.dll", "SetFileInformationByHandle",
                   reinterpret_cast<void*>(&CountedSetFileInformation));
  ImportPatch close("kernel32.dll", "CloseHandle",
                    reinterpret_cast<void*>(&CountedCloseHandle));
  // The file is made through NtCreateFile, which is looked up.
  ImportPatch lookup("kernel32.dll", "GetProcAddress",
                     reinterpret_cast<void*>(&CountedLookup));
  ASSERT_TRUE(duplicate.applied() && mark.applied() && close.applied() &&
              lookup.applied());
  platform_calls = 0;
  OutputFile file;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Duplicate(), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.Truncate());
  file.Abandon();
  file.Close();
  EXPECT_EQ(std::wstring(file.name()), L"");
  // A name of 260 characters does not fit before any file is touched.
  const std::wstring too_long(260, L'a');
  EXPECT_FALSE(file.Open(GetCurrentProcess(), too_long.c_str()));
  EXPECT_EQ(std::wstring(file.name()), L"");
  EXPECT_EQ(platform_calls, 0);
}

// A name is one name in the held folder: one that would lead into another
// folder is refused, and the record stays empty.
TEST(OutputFileTest, FailedOpenLeavesRecordEmpty) {
  ScratchFolder folder(L"output");
  HeldFolder held(folder.path());
  OutputFile file;
  EXPECT_FALSE(file.Open(held.handle(), L"no\\such\\folder.bin"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(std::wstring(file.name()), L"");
}

}  // namespace
}  // namespace installer
