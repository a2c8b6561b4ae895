#include "launch/launch_and_await.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "testing/import_patch.h"
#include "testing/stand_in_setup/sha256.h"
#include "testing/stand_in_setup/stand_in_record.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::ImportPatch;
using testing_support::ReadStandInRecord;
using testing_support::ScopedVariable;
using testing_support::ScratchFolder;
using testing_support::StandInRun;
using testing_support::Utf8;
using testing_support::TestFile;
using testing_support::WriteWholeFile;

constexpr uint32_t kFile = 122, kPath = 123, kOther = 124;

class LaunchAndAwaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW(TestFile(STAND_IN_SETUP_EXE).c_str(),
                          program_.c_str(), FALSE));
  }

  RunOutcome Launch(const std::wstring& program, std::wstring line) {
    return LaunchAndAwait(program.c_str(), line.data(), kFile, kPath, kOther);
  }

  std::vector<StandInRun> Runs() const { return ReadStandInRecord(record_); }

  ScratchFolder folder_{L"launch"};
  const std::wstring program_ = folder_.Child(L"setup.exe");
  const std::wstring record_ = folder_.Child(L"record.txt");
  ScopedVariable record_variable_{L"STAND_IN_SETUP_RECORD", record_};
};

TEST_F(LaunchAndAwaitTest, ExitCodesArePassedOnUnchanged) {
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  const uint32_t codes[] = {0, 3, 112, 0xC0000005, 0x80000000};
  for (const uint32_t code : codes) {
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%X", code);
    ScopedVariable exit_code(L"STAND_IN_SETUP_EXIT_CODE", hex);
    std::wstring line = L"\"" + program_ + L"\"  --a\t\"b c\"";
    const RunOutcome outcome = Launch(program_, line);
    EXPECT_EQ(outcome.exit_code, code);
    EXPECT_EQ(outcome.windows_error, 0u);
  }
  const std::vector<StandInRun> runs = Runs();
  ASSERT_EQ(runs.size(), std::size(codes));
  for (const StandInRun& run : runs) {
    EXPECT_EQ(run["command_line"],
              Utf8(L"\"" + program_ + L"\"  --a\t\"b c\""));
    // The child runs in the stub's own current folder.
    EXPECT_EQ(run["current_folder"], Utf8(current));
  }
}

TEST_F(LaunchAndAwaitTest, StartFailures) {
  // A missing file or folder: the code says which, and the second half is
  // the attribute word of the path, not the error.
  const std::wstring missing_file = folder_.Child(L"gone.exe");
  const RunOutcome file = Launch(missing_file, L"\"" + missing_file + L"\"");
  EXPECT_EQ(file.exit_code, kFile);
  EXPECT_EQ(file.windows_error, INVALID_FILE_ATTRIBUTES);
  const std::wstring missing_folder = folder_.Child(L"gone\\setup.exe");
  const RunOutcome path = Launch(missing_folder, L"x");
  EXPECT_EQ(path.exit_code, kPath);
  EXPECT_EQ(path.windows_error, INVALID_FILE_ATTRIBUTES);

  // Anything else carries the start's own error.
  const std::wstring not_a_program = folder_.Child(L"text.exe");
  WriteWholeFile(not_a_program, "this is no program");
  const RunOutcome other = Launch(not_a_program, L"x");
  EXPECT_EQ(other.exit_code, kOther);
  EXPECT_NE(other.windows_error, 0u);
  EXPECT_NE(other.windows_error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(other.windows_error, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(Runs().empty());
}

// A program that the run holds starts only while its path still names the
// file held, which is let go once it has ended; another file at that path
// starts never.
TEST_F(LaunchAndAwaitTest, HeldProgramStartsOnlyWhileItIsTheOneHeld) {
  const std::wstring other = folder_.Child(L"other.exe");
  ASSERT_TRUE(CopyFileW(program_.c_str(), other.c_str(), FALSE));
  const auto hold = [](const std::wstring& path) {
    HeldFile held;
    held.handle.Reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(ReadFileIdentity(held.handle.get(), &held.identity));
    return held;
  };
  const std::wstring folder = folder_.path();
  HeldFile someone_elses = hold(other);
  std::wstring line = L"\"" + program_ + L"\"";
  const RunOutcome refused =
      LaunchAndAwait(program_.c_str(), line.data(), kFile, kPath, kOther,
                     folder.c_str(), &someone_elses);
  EXPECT_EQ(refused.exit_code, kOther);
  EXPECT_EQ(refused.windows_error, static_cast<uint32_t>(ERROR_FILE_INVALID));
  EXPECT_FALSE(someone_elses.IsHeld());
  EXPECT_TRUE(Runs().empty());

  HeldFile ours = hold(program_);
  const RunOutcome ran =
      LaunchAndAwait(program_.c_str(), line.data(), kFile, kPath, kOther,
                     folder.c_str(), &ours);
  EXPECT_EQ(ran.exit_code, 0u);
  EXPECT_FALSE(ours.IsHeld());
  const std::vector<StandInRun> runs = Runs();
  ASSERT_EQ(runs.size(), 1u);
  // It ran in the folder it was given.
  EXPECT_EQ(runs[0]["current_folder"] + "\\", Utf8(folder));
}

// Platform calls of one launch, watched and faked through the import table.
// The test framework's own threads call through the same table, so every
// replacement passes on whatever does not concern the launched process, and
// the originals are taken before the table is patched.
HANDLE started_process = nullptr;
HANDLE started_thread = nullptr;
std::vector<HANDLE> closed;  // of the two handles above, in order
decltype(&CreateProcessW) original_create = nullptr;
decltype(&WaitForSingleObject) original_wait = nullptr;
decltype(&GetExitCodeProcess) original_exit_code = nullptr;
decltype(&CloseHandle) original_close = nullptr;
DWORD injected_error = 0;

void TakeOriginals() {
  original_create = &CreateProcessW;
  original_wait = &WaitForSingleObject;
  original_exit_code = &GetExitCodeProcess;
  original_close = &CloseHandle;
  started_process = started_thread = nullptr;
  closed.clear();
}

BOOL WINAPI WatchedCreateProcess(LPCWSTR application, LPWSTR command_line,
                                 LPSECURITY_ATTRIBUTES process_attributes,
                                 LPSECURITY_ATTRIBUTES thread_attributes,
                                 BOOL inherit, DWORD flags, LPVOID environment,
                                 LPCWSTR folder, LPSTARTUPINFOW startup,
                                 LPPROCESS_INFORMATION information) {
  EXPECT_EQ(process_attributes, nullptr);
  EXPECT_EQ(thread_attributes, nullptr);
  EXPECT_FALSE(inherit);
  EXPECT_EQ(flags, static_cast<DWORD>(CREATE_NO_WINDOW));
  EXPECT_EQ(environment, nullptr);
  EXPECT_EQ(folder, nullptr);
  EXPECT_EQ(startup->cb, sizeof(STARTUPINFOW));
  EXPECT_EQ(startup->dwFlags, 0u);
  const BOOL created = original_create(
      application, command_line, process_attributes, thread_attributes, inherit,
      flags, environment, folder, startup, information);
  started_process = information->hProcess;
  started_thread = information->hThread;
  return created;
}

DWORD WINAPI FailingWait(HANDLE handle, DWORD milliseconds) {
  if (started_process == nullptr || handle != started_process) {
    return original_wait(handle, milliseconds);
  }
  SetLastError(injected_error);
  return WAIT_FAILED;
}

BOOL WINAPI FailingExitCode(HANDLE handle, LPDWORD exit_code) {
  if (started_process == nullptr || handle != started_process) {
    return original_exit_code(handle, exit_code);
  }
  SetLastError(injected_error);
  return FALSE;
}

// Lets the child end before its handle goes, so that no stray process is
// left, and notes the closing of the launch's two handles. A successful
// close may leave any last error behind; this one clears it.
BOOL WINAPI WatchedClose(HANDLE handle) {
  if (started_process == nullptr ||
      (handle != started_process && handle != started_thread)) {
    return original_close(handle);
  }
  if (handle == started_process) original_wait(handle, INFINITE);
  closed.push_back(handle);
  const BOOL result = original_close(handle);
  if (result) SetLastError(ERROR_SUCCESS);
  return result;
}

TEST_F(LaunchAndAwaitTest, FailedWaitOrExitCodeStillClosesTheProcess) {
  struct Case {
    const char* label;
    bool fail_wait;
    DWORD error;
  };
  const Case cases[] = {{"wait", true, ERROR_INVALID_HANDLE},
                        {"exit code", false, ERROR_ACCESS_DENIED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TakeOriginals();
    injected_error = c.error;
    ImportPatch create("kernel32.dll", "CreateProcessW",
                       reinterpret_cast<void*>(&WatchedCreateProcess));
    ImportPatch close("kernel32.dll", "CloseHandle",
                      reinterpret_cast<void*>(&WatchedClose));
    ImportPatch fault(
        "kernel32.dll",
        c.fail_wait ? "WaitForSingleObject" : "GetExitCodeProcess",
        c.fail_wait ? reinterpret_cast<void*>(&FailingWait)
                    : reinterpret_cast<void*>(&FailingExitCode));
    ASSERT_TRUE(create.applied() && close.applied() && fault.applied());

    const RunOutcome outcome = Launch(program_, L"\"" + program_ + L"\"");
    const DWORD last_error = GetLastError();
    EXPECT_EQ(outcome.exit_code, 107u);
    EXPECT_EQ(outcome.windows_error, c.error);
    // The error survives the close that follows the failure.
    EXPECT_EQ(last_error, c.error);
    ASSERT_NE(started_process, nullptr);
    EXPECT_EQ(closed, (std::vector<HANDLE>{started_thread, started_process}));
    if (closed.size() < 2) {
      // Leaked by the code under test; end it here.
      original_wait(started_process, INFINITE);
      original_close(started_process);
    }
    started_process = nullptr;
  }
  EXPECT_EQ(Runs().size(), 2u);
}

TEST_F(LaunchAndAwaitTest, SuccessClosesBothHandles) {
  TakeOriginals();
  ImportPatch create("kernel32.dll", "CreateProcessW",
                     reinterpret_cast<void*>(&WatchedCreateProcess));
  ImportPatch close("kernel32.dll", "CloseHandle",
                    reinterpret_cast<void*>(&WatchedClose));
  ASSERT_TRUE(create.applied() && close.applied());
  ScopedVariable exit_code(L"STAND_IN_SETUP_EXIT_CODE", L"9");
  const RunOutcome outcome = Launch(program_, L"\"" + program_ + L"\"");
  EXPECT_EQ(outcome.exit_code, 9u) << "Windows error " << outcome.windows_error;
  EXPECT_EQ(closed, (std::vector<HANDLE>{started_thread, started_process}));
  started_process = nullptr;
}

TEST(StandInSha256Test, KnownDigests) {
  EXPECT_EQ(testing_support::Sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(testing_support::Sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(testing_support::Sha256Hex(
                "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace installer
