#include "support/held_file.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/import_patch.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::FileExists;
using testing_support::HeldFolder;
using testing_support::LookupPatch;
using testing_support::ReadWholeFile;
using testing_support::ScratchFolder;
using testing_support::WriteWholeFile;

using NtCreateFileFunction = NTSTATUS NTAPI(
    HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
    LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);

// What another program of the same user does while a written file becomes
// held, played by NtCreateFile's double on each open of the change (the
// bridge's, while the writer is still open, and the hold's, once it is
// closed): nothing; move the file away and put another at its name; or open
// it for writing, try to write, and keep it open.
enum class Meddling { kNone, kSwap, kWriter };

struct Window {
  NtCreateFileFunction* real = nullptr;
  Meddling meddling = Meddling::kNone;
  std::wstring path;
  int opens = 0;
  bool moved = false;
  bool wrote = false;
  HANDLE writer = INVALID_HANDLE_VALUE;
};
Window* g_window = nullptr;

NTSTATUS NTAPI MeddlingNtCreateFile(HANDLE* handle, ACCESS_MASK access,
                                    OBJECT_ATTRIBUTES* attributes,
                                    IO_STATUS_BLOCK* status,
                                    LARGE_INTEGER* allocation, ULONG file,
                                    ULONG share, ULONG disposition,
                                    ULONG options, void* extended,
                                    ULONG extended_length) {
  Window& window = *g_window;
  if (disposition == FILE_OPEN && ++window.opens <= 2) {
    if (window.meddling == Meddling::kSwap &&
        MoveFileW(window.path.c_str(), (window.path + L".aside").c_str())) {
      window.moved = true;
      WriteWholeFile(window.path, "someone else's");
    } else if (window.meddling == Meddling::kWriter && window.opens == 2) {
      window.writer = CreateFileW(
          window.path.c_str(), GENERIC_WRITE,
          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
          OPEN_EXISTING, 0, nullptr);
      DWORD written = 0;
      window.wrote = window.writer != INVALID_HANDLE_VALUE &&
                     WriteFile(window.writer, "THEIRS", 6, &written, nullptr);
    }
  }
  return window.real(handle, access, attributes, status, allocation, file,
                     share, disposition, options, extended, extended_length);
}

// While a written file becomes held, nobody can take its name: the file is
// never open without a handle of the run's that denies deletion. A writer
// that gets in once the run's writer is gone can write nothing (the bridge
// locks the bytes), and makes the hold fail, which the run then reports;
// nothing is held.
TEST(HoldWrittenFileTest, NobodyTakesTheFileWhileItBecomesHeld) {
  struct Case {
    const char* why;
    Meddling meddling;
    DWORD error;  // 0: held
  } const cases[] = {
      {"nobody meddles", Meddling::kNone, 0},
      {"someone tries to take the name", Meddling::kSwap, 0},
      {"a writer gets in", Meddling::kWriter, ERROR_SHARING_VIOLATION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ScratchFolder folder(L"hold");
    HeldFolder held_folder(folder.path());
    const std::wstring path = folder.Child(L"setup.exe");
    UniqueFileHandle writer(CreateInFolder(
        held_folder.handle(), L"setup.exe",
        GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_CREATE,
        FILE_NON_DIRECTORY_FILE));
    ASSERT_TRUE(writer.IsValid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer.get(), "ours", 4, &written, nullptr));
    FileIdentity ours;
    ASSERT_TRUE(ReadFileIdentity(writer.get(), &ours));

    Window window;
    window.real = reinterpret_cast<NtCreateFileFunction*>(
        reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    window.meddling = c.meddling;
    window.path = path;
    g_window = &window;
    HeldFile held;
    bool holding = false;
    DWORD error = 0;
    {
      LookupPatch patch("NtCreateFile",
                        reinterpret_cast<void*>(&MeddlingNtCreateFile));
      ASSERT_TRUE(patch.applied());
      holding = HoldWrittenFile(&writer, held_folder.handle(), L"setup.exe",
                                &held);
      error = GetLastError();
    }
    g_window = nullptr;
    if (window.writer != INVALID_HANDLE_VALUE) CloseHandle(window.writer);
    EXPECT_FALSE(writer.IsValid());
    EXPECT_EQ(window.opens, 2);
    EXPECT_FALSE(window.moved) << "the file's name was taken";
    // Windows enforces the bridge's lock on the writes of every other
    // handle; Wine's locks bind only those who ask for them, so there the
    // write goes through, and only the failed hold keeps it from the run.
    if (!testing_support::UnderWine()) {
      EXPECT_FALSE(window.wrote) << "the writer wrote";
      EXPECT_EQ(ReadWholeFile(path), "ours");
    }
    EXPECT_EQ(holding, c.error == 0);
    EXPECT_EQ(held.IsHeld(), c.error == 0);
    // Whatever happened, the identity names the file written, so that only
    // it is ever removed.
    EXPECT_TRUE(SameFile(held.identity, ours));
    if (c.error == 0) {
      EXPECT_FALSE(MoveFileW(path.c_str(), (path + L".moved").c_str()));
    } else {
      EXPECT_EQ(error, c.error);
    }
    held.Release();
  }
}

// A name is looked up in the held folder alone: one that climbs out of it
// or into a folder below makes nothing anywhere.
TEST(CreateInFolderTest, NamesStayInTheFolder) {
  ScratchFolder folder(L"names");
  ASSERT_TRUE(CreateDirectoryW(folder.Child(L"inner").c_str(), nullptr));
  HeldFolder inner(folder.Child(L"inner"));
  for (const wchar_t* name : {L"..\\escaped.txt", L"..", L"sub\\file.txt"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(name)));
    const UniqueFileHandle made(
        CreateInFolder(inner.handle(), name, GENERIC_WRITE, 0, FILE_CREATE,
                       FILE_NON_DIRECTORY_FILE));
    EXPECT_FALSE(made.IsValid());
  }
  EXPECT_FALSE(FileExists(folder.Child(L"escaped.txt")));
}

}  // namespace
}  // namespace installer
