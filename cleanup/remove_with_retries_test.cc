#include "cleanup/remove_with_retries.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/import_patch.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::ImportPatch;
using testing_support::ReadWholeFile;
using testing_support::ScratchFolder;
using testing_support::WriteWholeFile;

// Sleep replaced for the whole of a test: it returns at once, counts its
// calls and runs the test's action on each one.
int sleep_calls = 0;
std::function<void(int)> on_sleep;

void WINAPI CountedSleep(DWORD milliseconds) {
  EXPECT_EQ(milliseconds, 100u);
  ++sleep_calls;
  if (on_sleep) on_sleep(sleep_calls);
}

class RemoveTest : public ::testing::Test {
 protected:
  RemoveTest()
      : sleep_("kernel32.dll", "Sleep", reinterpret_cast<void*>(&CountedSleep)),
        folder_(L"remove") {
    sleep_calls = 0;
    on_sleep = nullptr;
  }
  ~RemoveTest() override { on_sleep = nullptr; }
  void SetUp() override { ASSERT_TRUE(sleep_.applied()); }

  std::wstring Child(const wchar_t* name) const { return folder_.Child(name); }

  ImportPatch sleep_;
  ScratchFolder folder_;
};

TEST_F(RemoveTest, PathsThatAreAlreadyGone) {
  for (const wchar_t* name : {L"missing.bin", L"missing\\file.bin"}) {
    int32_t attempts = 0;
    EXPECT_TRUE(RemoveWithRetries(Child(name).c_str(), &attempts));
    EXPECT_EQ(attempts, 1);
  }
  EXPECT_EQ(sleep_calls, 0);
}

TEST_F(RemoveTest, PlainAndReadOnlyFilesGoAtFirstAttempt) {
  for (bool read_only : {false, true}) {
    SCOPED_TRACE(read_only ? "read-only" : "plain");
    const std::wstring path = Child(L"file.bin");
    WriteWholeFile(path, "payload");
    if (read_only) {
      ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
      ASSERT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
    int32_t attempts = 0;
    EXPECT_TRUE(RemoveWithRetries(path.c_str(), &attempts));
    EXPECT_EQ(attempts, 1);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(sleep_calls, 0);
  }
}

// Windows reports a file whose only attribute is read-only as exactly that,
// and takes attributes of zero as "unchanged". Wine always adds the archive
// bit, so both are played here.
decltype(&GetFileInformationByHandleEx) original_get_information = nullptr;
decltype(&SetFileInformationByHandle) original_set_basic = nullptr;
std::vector<DWORD> written_attributes;

BOOL WINAPI OnlyReadOnlyAttributes(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                   LPVOID data, DWORD size) {
  const BOOL read = original_get_information(file, kind, data, size);
  if (read && kind == FileBasicInfo) {
    static_cast<FILE_BASIC_INFO*>(data)->FileAttributes &=
        FILE_ATTRIBUTE_READONLY;
  }
  return read;
}

BOOL WINAPI ZeroAttributesUnchanged(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                    LPVOID data, DWORD size) {
  if (kind == FileBasicInfo) {
    const DWORD attributes =
        static_cast<FILE_BASIC_INFO*>(data)->FileAttributes;
    written_attributes.push_back(attributes);
    if (attributes == 0) return TRUE;
  }
  return original_set_basic(file, kind, data, size);
}

TEST_F(RemoveTest, FileWithOnlyReadOnlyAttributeGoesAtFirstAttempt) {
  const std::wstring path = Child(L"only_read_only.bin");
  WriteWholeFile(path, "payload");
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  written_attributes.clear();
  int32_t attempts = 0;
  bool removed = false;
  {
    ImportPatch get("kernel32.dll", "GetFileInformationByHandleEx",
                    reinterpret_cast<void*>(&OnlyReadOnlyAttributes));
    ImportPatch set("kernel32.dll", "SetFileInformationByHandle",
                    reinterpret_cast<void*>(&ZeroAttributesUnchanged));
    ASSERT_TRUE(get.applied() && set.applied());
    original_get_information =
        get.original<decltype(&GetFileInformationByHandleEx)>();
    original_set_basic = set.original<decltype(&SetFileInformationByHandle)>();
    removed = RemoveWithRetries(path.c_str(), &attempts);
  }
  EXPECT_TRUE(removed);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(written_attributes, std::vector<DWORD>{FILE_ATTRIBUTE_NORMAL});
  EXPECT_EQ(sleep_calls, 0);
}

TEST_F(RemoveTest, EmptyFolderWithTrailingBackslash) {
  const std::wstring path = Child(L"KV_12345.tmp\\");
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(path.c_str(), &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(FileExists(path));
}

TEST_F(RemoveTest, FolderThatEmptiesWhileWaiting) {
  const std::wstring folder = Child(L"work\\");
  const std::wstring inside = folder + L"setup.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  WriteWholeFile(inside, "setup");
  on_sleep = [&](int call) {
    if (call == 3) DeleteFileW(inside.c_str());
  };
  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(folder.c_str(), &attempts));
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(sleep_calls, 3);
  EXPECT_FALSE(FileExists(folder));
}

TEST_F(RemoveTest, InvalidNameFailsAtOnce) {
  const std::wstring path = Child(L"bad*name?.bin");
  int32_t attempts = 0;
  EXPECT_FALSE(RemoveWithRetries(path.c_str(), &attempts));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(sleep_calls, 0);
}

TEST_F(RemoveTest, FileHeldByAnotherProcessIsWaitedOutHundredTimes) {
  const std::wstring path = Child(L"held.bin");
  WriteWholeFile(path, "held");
  std::wstring command = L"\"" +
                         testing_support::TestFile(FILE_HOLDER_EXE) +
                         L"\" \"" + path + L"\" 60000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION holder = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                             0, nullptr, nullptr, &startup, &holder))
      << GetLastError();
  // Sleep is patched: wait on the holder instead, which also notices an
  // early exit.
  for (int i = 0; i < 200 && !FileExists(path + L".ready"); ++i) {
    ASSERT_EQ(WaitForSingleObject(holder.hProcess, 50),
              static_cast<DWORD>(WAIT_TIMEOUT));
  }
  ASSERT_TRUE(FileExists(path + L".ready"));

  int32_t attempts = 0;
  EXPECT_FALSE(RemoveWithRetries(path.c_str(), &attempts));
  EXPECT_EQ(attempts, 100);
  EXPECT_EQ(sleep_calls, 99);
  EXPECT_TRUE(FileExists(path));

  TerminateProcess(holder.hProcess, 0);
  WaitForSingleObject(holder.hProcess, 10000);
  CloseHandle(holder.hThread);
  CloseHandle(holder.hProcess);
}

TEST_F(RemoveTest, SymbolicLinkGoesAndTargetStays) {
  const std::wstring target = Child(L"target");
  const std::wstring kept = target + L"\\kept.txt";
  const std::wstring link = Child(L"link");
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  WriteWholeFile(kept, "kept");
  // Without the privilege to make links (a standard user's token), Windows
  // 10 1703 and later still make one when asked to allow it and Developer
  // Mode is on, as on hosted build machines; older ones refuse the flag.
  DWORD error = ERROR_SUCCESS;
  for (const DWORD unprivileged :
       {DWORD{SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE}, DWORD{0}}) {
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged)) {
      error = ERROR_SUCCESS;
      break;
    }
    error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER) break;
  }
  if (error != ERROR_SUCCESS) {
    GTEST_SKIP() << "CreateSymbolicLinkW fails here with " << error
                 << (error == ERROR_PRIVILEGE_NOT_HELD
                         ? " (ERROR_PRIVILEGE_NOT_HELD: no privilege to make "
                           "links, and Developer Mode is off)"
                         : "");
  }
  int32_t attempts = 0;
  EXPECT_TRUE(RemoveWithRetries(link.c_str(), &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(FileExists(link));
  EXPECT_TRUE(FileExists(kept));
}

// Objects that never go away although every call reports success: the ways
// back that do not count may not cycle for ever. Each patch gives in after
// 1000 calls, so that a removal that cycles ends (and fails the test) rather
// than hanging it.
decltype(&SetFileInformationByHandle) original_set_information = nullptr;
int ineffective_calls = 0;
constexpr int kGiveInAfter = 1000;

BOOL WINAPI IneffectiveDisposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                   LPVOID data, DWORD size) {
  if (kind == FileDispositionInfo && ++ineffective_calls < kGiveInAfter) {
    return TRUE;
  }
  return original_set_information(file, kind, data, size);
}

BOOL WINAPI ReadOnlyForEver(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                            LPVOID data, DWORD size) {
  if (kind == FileBasicInfo && ++ineffective_calls < kGiveInAfter) {
    return TRUE;
  }
  return original_set_information(file, kind, data, size);
}

TEST_F(RemoveTest, ObjectThatOutlivesEveryRemovalEndsAfterHundredAttempts) {
  struct Case {
    const char* name;
    void* replacement;
    bool read_only;
  };
  const Case cases[] = {
      {"marked but kept", reinterpret_cast<void*>(&IneffectiveDisposition),
       false},
      {"read-only bit that returns", reinterpret_cast<void*>(&ReadOnlyForEver),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = Child(L"stubborn.bin");
    WriteWholeFile(path, "stubborn");
    if (c.read_only) {
      ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    sleep_calls = 0;
    ineffective_calls = 0;
    int32_t attempts = 0;
    bool removed = true;
    {
      ImportPatch patch("kernel32.dll", "SetFileInformationByHandle",
                        c.replacement);
      ASSERT_TRUE(patch.applied());
      original_set_information =
          patch.original<decltype(&SetFileInformationByHandle)>();
      removed = RemoveWithRetries(path.c_str(), &attempts);
    }
    EXPECT_FALSE(removed);
    EXPECT_EQ(attempts, 100);
    EXPECT_EQ(sleep_calls, 99);
    EXPECT_TRUE(FileExists(path));
    EXPECT_GT(ineffective_calls, 1);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
}

std::vector<std::wstring>* opened_paths = nullptr;
decltype(&CreateFileW) original_create_file = nullptr;

HANDLE WINAPI RecordedCreateFile(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE model) {
  if (opened_paths != nullptr) opened_paths->push_back(path);
  return original_create_file(path, access, share, security, disposition, flags,
                              model);
}

TEST_F(RemoveTest, UnpackedFilesWithoutArchiveOrSetupRemoveOnlyWorkFolder) {
  const std::wstring work = Child(L"KV_ABCDE.tmp\\");
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  std::vector<std::wstring> opened;
  int32_t max_attempts = 0;
  {
    ImportPatch patch("kernel32.dll", "CreateFileW",
                      reinterpret_cast<void*>(&RecordedCreateFile));
    ASSERT_TRUE(patch.applied());
    original_create_file = patch.original<decltype(&CreateFileW)>();
    opened_paths = &opened;
    RemoveUnpackedFiles(L"", L"", work.c_str(), &max_attempts);
    opened_paths = nullptr;
  }
  EXPECT_EQ(max_attempts, 1);
  EXPECT_FALSE(FileExists(work));
  ASSERT_FALSE(opened.empty());
  for (const std::wstring& path : opened) EXPECT_EQ(path, work);
}

// Archive, setup and folder take 1, 3 and 1 attempts: the setup file is held
// by this process until the second wait.
TEST_F(RemoveTest, UnpackedFilesFoldTheirAttemptCounts) {
  struct Case {
    int32_t max_before;
    int32_t max_after;
  };
  for (const Case& c : {Case{2, 3}, Case{5, 5}}) {
    SCOPED_TRACE(c.max_before);
    const std::wstring work = Child(L"KV_0F0F0.tmp\\");
    const std::wstring archive = work + L"korvel.packed.7z";
    const std::wstring setup = work + L"setup.exe";
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    WriteWholeFile(archive, "archive");
    WriteWholeFile(setup, "setup");
    HANDLE held = CreateFileW(setup.c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    sleep_calls = 0;
    on_sleep = [&](int call) {
      if (call == 2) CloseHandle(held);
    };
    int32_t max_attempts = c.max_before;
    RemoveUnpackedFiles(archive.c_str(), setup.c_str(), work.c_str(),
                        &max_attempts);
    on_sleep = nullptr;
    EXPECT_EQ(sleep_calls, 2);
    EXPECT_EQ(max_attempts, c.max_after);
    EXPECT_FALSE(FileExists(work));
  }
}

// With the run's holds, only what the run made is removed, and only while
// it is still that: a path whose making failed (a name that once led out of
// the work folder to someone's file) and a file that took the name of the
// run's are left where they are, and so is the folder that still holds it.
TEST_F(RemoveTest, UnpackedFilesAreRemovedOnlyWhileTheyAreTheRuns) {
  const std::wstring work = Child(L"KV_12345.tmp\\");
  const std::wstring archive = work + L"KORVEL.PACKED.7Z";
  const std::wstring setup = work + L"setup.exe";
  const std::wstring victim = Child(L"VICTIM.TXT");
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  WriteWholeFile(archive, "someone else's archive");
  WriteWholeFile(setup, "setup");
  WriteWholeFile(victim, "victim");
  const auto identity_of = [](const std::wstring& path, bool folder) {
    HeldFile held;
    held.handle.Reset(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr));
    EXPECT_TRUE(ReadFileIdentity(held.handle.get(), &held.identity));
    return held;
  };
  // The archive the run made is known by an identity that the file now at
  // its name does not have (the setup program's, here).
  HeldFile archive_hold = identity_of(setup, false);
  HeldFile setup_hold = identity_of(setup, false);
  HeldFile folder_hold = identity_of(work, true);
  HeldFile never_made;
  int32_t max_attempts = 0;
  RemoveUnpackedFiles(victim.c_str(), L"", work.c_str(), &max_attempts,
                      &never_made, nullptr, nullptr);
  EXPECT_EQ(ReadWholeFile(victim), "victim");
  RemoveUnpackedFiles(archive.c_str(), setup.c_str(), work.c_str(),
                      &max_attempts, &archive_hold, &setup_hold, &folder_hold);
  EXPECT_FALSE(archive_hold.IsHeld() || setup_hold.IsHeld() ||
               folder_hold.IsHeld());
  EXPECT_EQ(ReadWholeFile(archive), "someone else's archive");
  EXPECT_FALSE(FileExists(setup));
  EXPECT_TRUE(FileExists(work));
  EXPECT_EQ(max_attempts, 100);
}

}  // namespace
}  // namespace installer
