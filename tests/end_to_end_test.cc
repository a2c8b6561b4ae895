// Installers made by the packing command, run under Wine from a scratch
// folder, one row per way a run can end. Each row compares the folder beside
// the installer and the registry before and after the run: a run may leave
// only its work folder (when it keeps its files) and only the client-state
// values that report its outcome.
#include <gtest/gtest.h>

#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "testing/registry_scratch.h"
#include "testing/run_program.h"
#include "testing/stand_in_setup/sha256.h"
#include "testing/stand_in_setup/stand_in_record.h"
#include "testing/test_paths.h"

namespace {

namespace fs = std::filesystem;
using testing_support::NumberBytes;
using testing_support::RawValue;
using testing_support::ReadRawValue;
using testing_support::ReadStandInRecord;
using testing_support::RunProgram;
using testing_support::ScratchFolder;
using testing_support::ScopedVariable;
using testing_support::ScratchKey;
using testing_support::StandInRun;
using testing_support::TextBytes;
using testing_support::TestFile;

const std::wstring kClientState =
    L"Software\\Quivra\\Update\\ClientState\\"
    L"{5B1E0C27-8D4A-4F63-9A02-71C4E8D3B6F5}";
const std::wstring kCleanupKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Telvo";
const wchar_t* const kRecordValues[] = {L"ap", L"InstallerResult",
                                        L"InstallerError",
                                        L"InstallerExtraCode1"};
constexpr wchar_t kExitCodeVariable[] = L"STAND_IN_SETUP_EXIT_CODE";

// Copies `from` over `to`. Not std::filesystem::copy_file: this toolchain's
// takes two files on one volume for the same one, as Windows' stat gives
// every file the same number, and refuses to copy.
void CopyOver(const std::wstring& from, const std::wstring& to) {
  ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
      << "cannot copy to " << fs::path(to).string() << ": " << GetLastError();
}

// Every file and folder below `folder`, with file sizes (folders: -1).
using FolderTree = std::map<std::wstring, intmax_t>;
FolderTree ReadFolderTree(const std::wstring& folder) {
  FolderTree tree;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::wstring name = fs::relative(it->path(), folder).wstring();
    tree[name] = it->is_directory()
                     ? -1
                     : static_cast<intmax_t>(it->file_size(error));
  }
  return tree;
}

// Every key and value below the registry trees that a run could reach.
using RegistryDump = std::map<std::wstring, std::pair<DWORD, std::string>>;
void DumpKey(HKEY root, const std::wstring& label, const std::wstring& path,
             REGSAM view, RegistryDump* dump) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  (*dump)[label + path + L"\\"] = {REG_NONE, ""};
  DWORD longest_name = 0, longest_data = 0, longest_key = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longest_key,
                   nullptr, nullptr, &longest_name, &longest_data, nullptr,
                   nullptr);
  std::vector<wchar_t> name(longest_name + 2);
  std::string data(longest_data + 2, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    if (RegEnumValueW(key, i, name.data(), &name_size, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()),
                      &data_size) != ERROR_SUCCESS) {
      break;
    }
    (*dump)[label + path + L"\\" + std::wstring(name.data(), name_size)] = {
        type, data.substr(0, data_size)};
  }
  std::vector<std::wstring> children;
  std::vector<wchar_t> child(longest_key + 2);
  for (DWORD i = 0;; ++i) {
    DWORD child_size = static_cast<DWORD>(child.size());
    if (RegEnumKeyExW(key, i, child.data(), &child_size, nullptr, nullptr,
                      nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    children.emplace_back(child.data(), child_size);
  }
  RegCloseKey(key);
  for (const std::wstring& c : children) {
    DumpKey(root, label, path + L"\\" + c, view, dump);
  }
}

// Every key the stub reads or writes, in both views: on Windows the rest of
// HKCU\Software belongs to a live session whose programs write there while
// a test runs.
RegistryDump ReadRegistry() {
  RegistryDump dump;
  for (const REGSAM view : {REGSAM{0}, REGSAM{KEY_WOW64_32KEY}}) {
    const std::wstring suffix = view == 0 ? L"\\" : L"32\\";
    DumpKey(HKEY_CURRENT_USER, L"HKCU" + suffix, L"Software\\Quivra", view,
            &dump);
    DumpKey(HKEY_CURRENT_USER, L"HKCU" + suffix, kCleanupKey, view, &dump);
    DumpKey(HKEY_LOCAL_MACHINE, L"HKLM" + suffix, L"Software\\Quivra", view,
            &dump);
  }
  return dump;
}

// The registry changes of a run other than the client-state record values
// under `labels` ("HKCU\\" and "HKCU32\\", which share HKCU\\Software, or
// "HKLM32\\").
std::vector<std::wstring> UnexpectedChanges(
    const std::vector<std::wstring>& labels, const RegistryDump& before,
    const RegistryDump& after) {
  std::set<std::wstring> allowed;
  for (const std::wstring& label : labels) {
    for (const wchar_t* value : kRecordValues) {
      allowed.insert(label + kClientState + L"\\" + value);
    }
  }
  std::set<std::wstring> names;
  for (const auto& [name, value] : before) names.insert(name);
  for (const auto& [name, value] : after) names.insert(name);
  std::vector<std::wstring> changes;
  for (const std::wstring& name : names) {
    const auto was = before.find(name);
    const auto is = after.find(name);
    const bool same = was != before.end() && is != after.end() &&
                      was->second == is->second;
    if (!same && allowed.count(name) == 0) changes.push_back(name);
  }
  return changes;
}

// The size of an installer's cabinet-compressed setup program.
uintmax_t CabinetSize(const std::wstring& installer) {
  const HMODULE image = LoadLibraryExW(
      installer.c_str(), nullptr,
      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return 0;
  const HRSRC resource = FindResourceW(image, L"SETUP.EX_", L"BL");
  const uintmax_t size =
      resource != nullptr ? SizeofResource(image, resource) : 0;
  FreeLibrary(image);
  return size;
}

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// kTagOnly: the run ended after marking the channel, before any record.
enum class Record { kNone, kTagOnly, kSuccess, kFailure };

struct Ending {
  const char* why;
  const char* installer;  // a packed installer, below the build folder
  const wchar_t* arguments;
  const wchar_t* setup_exit_code;  // for the stand-in setup; null: unset
  bool keep_files;                 // "KorvelInstallerCleanup" = "0"
  bool installed_setup;            // a stand-in registered as installed
  uint32_t exit_code;
  Record record;
  uint32_t installer_error;  // failure: "InstallerError"
  uint32_t extra_code;       // "InstallerExtraCode1"
  bool work_folder_left;
  std::set<std::wstring> left;  // what the work folder still holds
  // The stand-in runs in order; "archive:N" is an install given the whole
  // product archive.
  const char* setup_runs;
  // A system-level run: the client-state key lies in HKLM's 32-bit view.
  bool system_level = false;
  // A child of setup holds the archive this many milliseconds after setup
  // ends. A success record is at least `extra_code` (0x30001 says that a
  // removal waited) and at most what 100 removal attempts give.
  const wchar_t* hold_archive_ms = nullptr;
  // How the strict cabinet library crashes ("copy", "notify", "handled");
  // null: it does not.
  const wchar_t* cabinet_fault = nullptr;
  // What the stand-in setup does to the run while it runs (its
  // STAND_IN_SETUP_TRICK); null: nothing.
  const wchar_t* setup_trick = nullptr;
  // The row holds only for a run of this kind (an elevated run starts no
  // installed setup program that per-user values name); another row holds
  // for the other kind.
  enum class RunsAs { kEither, kElevated, kStandardUser } runs_as =
      RunsAs::kEither;
};
using RunsAs = Ending::RunsAs;

class EndToEndTest : public ::testing::Test {
 protected:
  // A path for the next run's installer that no earlier run used. Windows
  // may keep the image of a program that has just ended locked for a
  // moment, and a copy over it would fail.
  std::wstring FreshInstaller() {
    return scratch_.Child(L"installer" + std::to_wstring(++programs_) +
                          L".exe");
  }

  // Registers a copy of the stand-in setup as the installed product's setup
  // program, quoted as the product writes it; a fresh copy each time, for
  // the same reason.
  void RegisterInstalledSetup(bool system_level) {
    const std::wstring installed = installed_folder_.Child(
        L"setup" + std::to_wstring(++programs_) + L".exe");
    CopyOver(TestFile(STAND_IN_SETUP_EXE), installed);
    ASSERT_EQ(RunProgram(installed,
                         L"--register-installed " +
                             kClientState.substr(kClientState.rfind(L'\\') +
                                                 1) +
                             L" --quoted" +
                             (system_level ? L" --system-level" : L"")),
              0u);
  }

  // What the stand-in setup programs recorded, one "mode=" per run of one,
  // and the size of the archive each install run was given. Every program
  // that a run starts starts in its work folder, where the archive or the
  // patch it is given lies: never in the installer's current folder, which
  // is among the folders it searches for its libraries.
  std::string SetupRuns(const std::wstring& record_path) {
    std::string runs;
    for (const StandInRun& run : ReadStandInRecord(record_path)) {
      if (run.values.count("exit_code") == 0) continue;
      std::string given = run["install-archive.path"];
      if (given == "<absent>") given = run["uncompressed-archive.path"];
      if (given == "<absent>") given = run["update-setup-exe.path"];
      EXPECT_EQ(run["current_folder"] + "\\",
                given.substr(0, given.rfind('\\') + 1))
          << "the folder a program of the run started in";
      // A program of the run inherits the installer's error mode, as a
      // child does on Windows: no "insert a disk" box for a drive that is
      // not ready. (Wine starts every process with the default mode.)
      if (!testing_support::UnderWine()) {
        EXPECT_NE(std::stoul(run["error_mode"]) & SEM_FAILCRITICALERRORS, 0u)
            << "the error mode a program of the run started with";
      }
      if (run.values.count("mode") != 0) runs += run["mode"];
      if (run.values.count("install-archive.size") != 0) {
        runs += " archive:" + run["install-archive.size"];
      }
      runs += " ";
    }
    return runs;
  }

  // Under load Wine 8 now and then loses a new process before it has
  // reported in, and CreateProcessW fails with ERROR_INTERNAL_ERROR, an
  // error the installer never makes up. Whose start was lost, when one was
  // and the row expects no such ending; else null. Never on Windows.
  static const char* WineLostAStart(const Ending& row, DWORD exit_code,
                                    HKEY root,
                                    const std::wstring& client_state) {
    if (!testing_support::UnderWine()) return nullptr;
    if (exit_code == (0x80000000u | ERROR_INTERNAL_ERROR)) {
      return "the test's own start of the installer failed with 1359";
    }
    if (row.extra_code == ERROR_INTERNAL_ERROR) return nullptr;
    const RawValue extra =
        ReadRawValue(root, client_state, L"InstallerExtraCode1");
    return extra.exists && extra.bytes == NumberBytes(ERROR_INTERNAL_ERROR)
               ? "the installer's start of a program failed with 1359"
               : nullptr;
  }

  // The entry directly in the installer's folder that a run added (its work
  // folder, when it left one); empty when there is none.
  static std::wstring AddedEntry(const FolderTree& before,
                                 const FolderTree& after) {
    std::wstring added;
    for (const auto& [name, size] : after) {
      if (before.count(name) == 0 && name.find(L'\\') == name.npos) {
        added = name;
      }
    }
    return added;
  }

  // Runs `installer` placed at `path` and checks one row's ending.
  // `prepare`, when given, runs once the installer lies there.
  // `run`, when given, runs the installer at `path` in place of RunProgram.
  void CheckEnding(
      const Ending& row, const std::wstring& path,
      const std::function<void()>& prepare = {},
      const std::function<DWORD(const std::wstring&)>& run = {}) {
    SCOPED_TRACE(row.why);
    // The 32-bit view of HKLM is its Wow6432Node key; HKCU's is addressed
    // natively (see registry_scratch.h).
    const HKEY root = row.system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const std::wstring client_state =
        row.system_level ? L"Software\\Wow6432Node" + kClientState.substr(8)
                         : kClientState;
    ScratchKey client_state_key(root, client_state);
    ASSERT_TRUE(client_state_key.created());
    std::unique_ptr<ScratchKey> cleanup_value;
    if (row.keep_files) {
      cleanup_value = std::make_unique<ScratchKey>(HKEY_CURRENT_USER,
                                                   kCleanupKey);
      cleanup_value->SetRaw(L"KorvelInstallerCleanup", REG_SZ,
                            TextBytes(L"0", true));
    }
    if (row.installed_setup) RegisterInstalledSetup(row.system_level);
    const std::wstring record = records_.Child(L"setup-record.txt");
    fs::remove(record);
    fs::create_directories(fs::path(path).parent_path());
    CopyOver(TestFile(row.installer), path);
    if (prepare) prepare();
    const std::wstring folder = fs::path(path).parent_path().wstring();
    const FolderTree folder_before = ReadFolderTree(folder);
    const RegistryDump registry_before = ReadRegistry();

    DWORD exit_code;
    for (int attempt = 1;; ++attempt) {
      {
        ScopedVariable setup_exit(kExitCodeVariable, row.setup_exit_code);
        ScopedVariable setup_record(L"STAND_IN_SETUP_RECORD", record.c_str());
        ScopedVariable hold(L"STAND_IN_SETUP_HOLD_ARCHIVE",
                            row.hold_archive_ms);
        ScopedVariable fault(L"STRICT_CABINET_FAULT", row.cabinet_fault);
        ScopedVariable trick(L"STAND_IN_SETUP_TRICK", row.setup_trick);
        exit_code = run ? run(path) : RunProgram(path, row.arguments);
      }
      const char* lost = attempt == 1 ? WineLostAStart(row, exit_code, root,
                                                       client_state)
                                      : nullptr;
      if (lost == nullptr) break;
      // The row runs once more from where it stood: the lost start's record
      // and the work folder a row that keeps its files kept go; anything
      // else it left still counts against the run.
      std::printf("[ rerun    ] %s: %s; Wine lost a start, the row runs "
                  "again\n", row.why, lost);
      for (const wchar_t* name : kRecordValues) {
        RegDeleteKeyValueW(root, client_state.c_str(), name);
      }
      fs::remove(record);
      const std::wstring kept =
          AddedEntry(folder_before, ReadFolderTree(folder));
      if (kept.rfind(L"KV_", 0) == 0) {
        // A program of the run that has just ended may hold its image a
        // moment longer.
        std::error_code error;
        for (int tries = 0; tries < 50; ++tries) {
          fs::remove_all(fs::path(folder) / kept, error);
          if (!fs::exists(fs::path(folder) / kept)) break;
          Sleep(100);
        }
      }
    }

    EXPECT_EQ(exit_code, row.exit_code);
    const std::string archive_size =
        std::to_string(fs::file_size(TestFile(PRODUCT_ARCHIVE)));
    std::string runs = row.setup_runs;
    for (size_t at; (at = runs.find("archive:N")) != runs.npos;) {
      runs.replace(at + 8, 1, archive_size);
    }
    EXPECT_EQ(SetupRuns(record), runs);
    FolderTree folder_after = ReadFolderTree(folder);
    const std::wstring work_folder = AddedEntry(folder_before, folder_after);
    if (row.work_folder_left) {
      ASSERT_EQ(work_folder.size(), 12u) << "no work folder left";
      EXPECT_EQ(work_folder.substr(0, 3), L"KV_");
      EXPECT_EQ(work_folder.substr(8), L".tmp");
      EXPECT_EQ(work_folder.substr(3, 5).find_first_not_of(
                    L"0123456789ABCDEF"),
                std::wstring::npos);
      std::set<std::wstring> left;
      for (const auto& [name, size] : folder_after) {
        if (name.rfind(work_folder + L"\\", 0) == 0) {
          left.insert(name.substr(work_folder.size() + 1));
        }
      }
      EXPECT_EQ(left, row.left);
      for (auto it = folder_after.begin(); it != folder_after.end();) {
        it = it->first.rfind(work_folder, 0) == 0 ? folder_after.erase(it)
                                                  : std::next(it);
      }
    }
    EXPECT_EQ(folder_after, folder_before)
        << "the run left something beside the installer";

    for (const std::wstring& change :
         UnexpectedChanges(row.system_level
                               ? std::vector<std::wstring>{L"HKLM32\\"}
                               : std::vector<std::wstring>{L"HKCU\\",
                                                           L"HKCU32\\"},
                           registry_before, ReadRegistry())) {
      ADD_FAILURE() << "registry changed: " << Narrow(change);
    }
    const auto value = [&](const wchar_t* name) {
      return ReadRawValue(root, client_state, name);
    };
    if (row.record == Record::kNone) {
      for (const wchar_t* name : kRecordValues) {
        EXPECT_FALSE(value(name).exists) << Narrow(name) << " written";
      }
    } else {
      EXPECT_EQ(value(L"ap").bytes, TextBytes(L"-full", true));
    }
    if (row.record == Record::kTagOnly) {
      for (const wchar_t* name : kRecordValues) {
        if (name != std::wstring(L"ap")) {
          EXPECT_FALSE(value(name).exists) << Narrow(name) << " written";
        }
      }
    } else if (row.record != Record::kNone) {
      const RawValue extra = value(L"InstallerExtraCode1");
      if (row.record == Record::kFailure) {
        EXPECT_EQ(extra.bytes, NumberBytes(row.extra_code));
      } else {
        // The attempt record: 0x30000 plus the extra removal attempts, at
        // most 99. On Windows a setup program that has just ended may keep
        // its image locked for a moment, so any removal of a run may take a
        // second attempt; only a row about the count (a held archive) asks
        // for more than the first.
        ASSERT_EQ(extra.bytes.size(), sizeof(DWORD));
        DWORD number = 0;
        std::memcpy(&number, extra.bytes.data(), sizeof(number));
        EXPECT_EQ(number & 0xFFFF0000u, 0x30000u);
        EXPECT_LE(number & 0xFFFFu, 99u);
        EXPECT_GE(number, row.extra_code);
      }
      if (row.record == Record::kSuccess) {
        EXPECT_FALSE(value(L"InstallerResult").exists);
        EXPECT_FALSE(value(L"InstallerError").exists);
      } else {
        EXPECT_EQ(value(L"InstallerResult").bytes, NumberBytes(1));
        EXPECT_EQ(value(L"InstallerError").bytes,
                  NumberBytes(row.installer_error));
      }
    }
    if (!work_folder.empty()) {
      std::error_code error;
      fs::remove_all(fs::path(folder) / work_folder, error);
    }
  }

  ScratchFolder scratch_{L"e2e"};
  ScratchFolder installed_folder_{L"e2e_installed"};
  ScratchFolder records_{L"e2e_records"};
  int programs_ = 0;
};

TEST_F(EndToEndTest, EveryEndingLeavesOnlyItsRecord) {
  const Ending rows[] = {
      {"cleanup switch", CABINET_INSTALLER, L"--cleanup", L"0", false, false,
       118, Record::kNone, 0, 0, false, {}, ""},
      {"frame switch", CABINET_INSTALLER, L"--korvel-frame", L"0", false,
       false, 118, Record::kNone, 0, 0, false, {}, ""},
      {"setup exits with 0", CABINET_INSTALLER, L"", L"0", false, false, 0,
       Record::kSuccess, 0, 0x30000, false, {}, "install archive:N "},
      {"setup exits with 3", CABINET_INSTALLER, L"", L"3", false, false, 3,
       Record::kFailure, 3, 0, false, {}, "install archive:N "},
      {"setup exits with the stub's own 112", CABINET_INSTALLER, L"", L"112",
       false, false, 112, Record::kFailure, 112, 0, false, {},
       "install archive:N "},
      {"plain setup program", PLAIN_INSTALLER, L"", L"0", false, false, 0,
       Record::kSuccess, 0, 0x30000, false, {}, "install archive:N "},
      {"unpacked files kept", CABINET_INSTALLER, L"", L"0", true, false, 0,
       Record::kSuccess, 0, 0x30000, true,
       {L"KORVEL.PACKED.7Z", L"setup.exe"}, "install archive:N "},
      {"setup patch, installed setup program", PATCH_INSTALLER, L"", L"0",
       false, true, 0, Record::kSuccess, 0, 0x30000, false, {},
       "self-update install archive:N ", false, nullptr, nullptr, nullptr,
       RunsAs::kStandardUser},
      // Elevated, the run starts no setup program that the user's own
      // values name: the start is refused, and the patch goes.
      {"setup patch, per-user installed setup program, elevated run",
       PATCH_INSTALLER, L"", L"0", false, true, 121, Record::kFailure, 121,
       ERROR_ACCESS_DENIED, false, {}, "", false, nullptr, nullptr, nullptr,
       RunsAs::kElevated},
      {"setup patch, system-level installed setup program", PATCH_INSTALLER,
       L"--system-level", L"0", false, true, 0, Record::kSuccess, 0, 0x30000,
       false, {}, "self-update install archive:N ", true},
      // The patch stays, so the folder cannot go either.
      {"setup patch, nothing installed", PATCH_INSTALLER, L"", L"0", false,
       false, 110, Record::kFailure, 110, ERROR_FILE_NOT_FOUND, true,
       {L"SETUP.PATCH"}, ""},
      // The archive is written, then the setup file's path does not fit.
      {"unpacking fails after the archive", LONG_SETUP_NAME_INSTALLER, L"",
       L"0", false, false, 108, Record::kFailure, 108, 0, false, {}, ""},
      // The removal of the archive waits for the child to let it go.
      {"a child of setup holds the archive", CABINET_INSTALLER, L"", L"0",
       false, false, 0, Record::kSuccess, 0, 0x30001, false, {},
       "install archive:N ", false, L"450"},
      {"system level, setup exits with 3", CABINET_INSTALLER,
       L"--system-level", L"3", false, false, 3, Record::kFailure, 3, 0,
       false, {}, "install archive:N ", true},
  };
  // Under the strict cabinet library, each expansion leaves a line in its
  // log: proof that the installers really used it.
  const char* strict = std::getenv("STRICT_CABINET_EXPECTED");
  const bool strict_expected = strict != nullptr && std::string(strict) == "1";
  const std::wstring strict_log = records_.Child(L"strict-cabinet.log");
  ScopedVariable log(L"STRICT_CABINET_LOG", strict_log);
  // A system-level run records in HKLM, which only an administrator's
  // elevated run may write (under Wine 8 every run is one; Wine 10 elevates
  // only a program whose manifest asks for it).
  bool machine_rows_skipped = false;
  const bool elevated = testing_support::Elevated();
  // Which per-user rows hold is the installer's own judgement of the run,
  // by its token's integrity level.
  const bool high = testing_support::HighIntegrity();
  for (const Ending& row : rows) {
    if (row.system_level && !elevated) {
      machine_rows_skipped = true;
      continue;
    }
    if ((row.runs_as == RunsAs::kElevated && !high) ||
        (row.runs_as == RunsAs::kStandardUser && high)) {
      continue;
    }
    CheckEnding(row, FreshInstaller());
  }
  if (machine_rows_skipped) {
    GTEST_SKIP() << "every other row passed; the system-level rows write "
                    "HKLM, which needs an elevated run";
  }
  if (strict_expected) {
    ASSERT_TRUE(fs::exists(strict_log)) << "the strict library never ran";
    EXPECT_NE(testing_support::ReadWholeFile(strict_log).find(
                  "FDICopy SETUP.EX_ TRUE"),
              std::string::npos);
  }
}

// What only Windows can show: a setup program whose manifest asks for
// administrator rights is refused by CreateProcessW with
// ERROR_ELEVATION_REQUIRED when the installer runs without them, and the run
// ends as a failed start, reported as such.
// With UAC off (EnableLUA = 0, as on some hosted build machines) nothing is
// ever elevated: Windows starts such a program with the caller's token.
TEST_F(EndToEndTest, ElevatedSetupIsRefusedToAnUnelevatedRun) {
  if (testing_support::UnderWine()) {
    GTEST_SKIP() << "Wine never refuses a program that asks for "
                    "administrator rights (Wine 10 elevates it)";
  }
  if (testing_support::Elevated()) {
    GTEST_SKIP() << "this run is elevated, so Windows starts such a program";
  }
  // A missing value is UAC's default, on.
  const RawValue lua = ReadRawValue(
      HKEY_LOCAL_MACHINE,
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
      L"EnableLUA");
  if (lua.exists && lua.bytes == NumberBytes(0)) {
    GTEST_SKIP() << "UAC is off on this machine (EnableLUA = 0): Windows "
                    "starts a program that asks for administrator rights "
                    "without them, and never answers 740";
  }
  CheckEnding({"setup that asks for administrator rights", ELEVATED_INSTALLER,
               L"", L"0", false, false, 124, Record::kFailure, 124,
               740 /* ERROR_ELEVATION_REQUIRED */, false, {}, ""},
              FreshInstaller());
}

// A cabinet library that crashes: the run still ends as a failed stage
// does, with the crash's own exit code, the exception's code as the Windows
// error, and nothing left beside the installer. An exception that the
// library handles itself is none of the run's business. The walk from a
// fault in the stub's own callback, through the library's frames, up to
// the process's last-chance filter needs the stub's function table.
TEST_F(EndToEndTest, CrashesEndLikeAFailedStage) {
  const char* strict = std::getenv("STRICT_CABINET_EXPECTED");
  if (strict == nullptr || std::string(strict) != "1") {
    GTEST_SKIP() << "needs the strict cabinet double (ctest under Wine), "
                    "which can be made to crash; Windows' own cannot";
  }
  const Ending rows[] = {
      {"the cabinet library faults inside FDICopy", CABINET_INSTALLER, L"",
       L"0", false, false, 125, Record::kFailure, 125, 0xC0000005, false, {},
       "", false, nullptr, L"copy"},
      {"the stub's callback faults beneath the cabinet library",
       CABINET_INSTALLER, L"", L"0", false, false, 125, Record::kFailure, 125,
       0xC0000005, false, {}, "", false, nullptr, L"notify"},
      // The stack runs out in the library: the overflow is an exception like
      // any other. (Wine 8 delivers it only while a page or more is left,
      // which frames of 4 KiB leave; it keeps, but does not honour, the
      // reserve that the installer asks for. Wine 10 does not even keep it
      // on the main thread: the process ends with neither record nor
      // cleanup, so the row holds under Wine 8 alone.)
      {"the cabinet library overflows the stack", CABINET_INSTALLER, L"",
       L"0", false, false, 125, Record::kFailure, 125, 0xC00000FD, false, {},
       "", false, nullptr, L"overflow"},
      {"the cabinet library handles a fault of its own", CABINET_INSTALLER,
       L"", L"0", false, false, 0, Record::kSuccess, 0, 0x30000, false, {},
       "install archive:N ", false, nullptr, L"handled"},
  };
  const std::string wine = testing_support::WineVersion();
  const bool overflow_holds = wine.rfind("8.", 0) == 0;
  for (const Ending& row : rows) {
    if (!overflow_holds && row.cabinet_fault != nullptr &&
        std::wcscmp(row.cabinet_fault, L"overflow") == 0) {
      continue;
    }
    CheckEnding(row, FreshInstaller());
  }

  // The crash's removals cannot finish (another program holds the archive)
  // and the process is ended meanwhile, as a logoff or a shutdown ends it:
  // the record is already there, because it is written before them.
  constexpr DWORD kEndedFromOutside = 0xE0D;
  CheckEnding({"the process is ended while the crash's removals wait",
               CABINET_INSTALLER, L"", L"0", false, false, kEndedFromOutside,
               Record::kFailure, 125, 0xC0000005, true,
               {L"KORVEL.PACKED.7Z", L"SETUP.EX_"}, "", false, nullptr,
               L"held"},
              FreshInstaller(), {},
              [&](const std::wstring& path) -> DWORD {
                STARTUPINFOW startup = {};
                startup.cb = sizeof(startup);
                PROCESS_INFORMATION process = {};
                std::wstring command = L"\"" + path + L"\"";
                if (!CreateProcessW(path.c_str(), command.data(), nullptr,
                                    nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &process)) {
                  return 0x80000000u | GetLastError();
                }
                // The archive's removal alone waits ten seconds.
                if (WaitForSingleObject(process.hProcess, 5000) ==
                    WAIT_TIMEOUT) {
                  TerminateProcess(process.hProcess, kEndedFromOutside);
                  WaitForSingleObject(process.hProcess, INFINITE);
                }
                DWORD exit_code = 0;
                GetExitCodeProcess(process.hProcess, &exit_code);
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
                return exit_code;
              });
  if (!overflow_holds) {
    GTEST_SKIP() << "every other row passed; the stack overflow row holds "
                    "under Wine 8 only: Wine " << wine << " does not honour "
                    "SetThreadStackGuarantee on the main thread, and the "
                    "overflow ends the process before its crash ending runs";
  }
}

// The installer file as someone who may rename files in its folder makes it
// while it runs: every payload item keeps its first 4 KiB and differs after
// them, or (`cut`) the file ends 8 KiB into the archive.
std::string CraftedInstaller(const std::wstring& path, bool cut) {
  std::string bytes = testing_support::ReadWholeFile(path);
  const HMODULE flat =
      LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EXPECT_NE(flat, nullptr);
  if (flat == nullptr) return bytes;
  const auto* base = reinterpret_cast<const char*>(
      reinterpret_cast<uintptr_t>(flat) & ~uintptr_t{3});
  struct Items {
    std::vector<std::pair<size_t, size_t>> found;  // offset, size
    const char* base;
  } items{{}, base};
  for (const wchar_t* type : {L"B7", L"BL", L"BN"}) {
    EnumResourceNamesW(
        flat, type,
        [](HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param) -> BOOL {
          auto* items = reinterpret_cast<Items*>(param);
          HRSRC found = FindResourceW(module, name, type);
          const char* data =
              static_cast<const char*>(LockResource(LoadResource(module,
                                                                 found)));
          items->found.emplace_back(data - items->base,
                                    SizeofResource(module, found));
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&items));
  }
  FreeLibrary(flat);
  EXPECT_EQ(items.found.size(), 2u);
  for (const auto& [offset, size] : items.found) {
    EXPECT_GT(size, 8192u);
    if (cut) return bytes.substr(0, std::min(bytes.size(), offset + 8192));
    for (size_t i = offset + 4096; i < offset + size; ++i) bytes[i] ^= 0x5A;
  }
  return bytes;
}

// Starts the installer at `path`, suspended or not, renames it aside and
// puts `crafted` at its path as soon as it has started, then lets it run;
// afterwards the folder is as it was. The exit code, as RunProgram gives it.
DWORD RunSwapped(const std::wstring& path, const std::string& crafted,
                 bool suspended) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + path + L"\"";
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE,
                      suspended ? CREATE_SUSPENDED : 0, nullptr, nullptr,
                      &startup, &process)) {
    return 0x80000000u | GetLastError();
  }
  const std::wstring aside = path + L".aside";
  // Not suspended: as soon as the process's loader lists its image. On
  // Windows the image is mapped before CreateProcessW returns; Wine's new
  // process maps it by its path a moment later, and would map the swapped
  // file itself, which is no run of the installer at all.
  for (int tries = 0; !suspended && tries < 5000; ++tries) {
    const HANDLE modules =
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.dwProcessId);
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    const bool listed = modules != INVALID_HANDLE_VALUE &&
                        Module32FirstW(modules, &module);
    if (modules != INVALID_HANDLE_VALUE) CloseHandle(modules);
    if (listed) break;
    Sleep(1);
  }
  // Not suspended, the installer may hold its file already, and then it
  // cannot be renamed: the swap simply comes too late.
  const bool moved = MoveFileW(path.c_str(), aside.c_str()) != FALSE;
  if (suspended) {
    EXPECT_TRUE(moved) << "a started program could not be renamed";
  }
  if (moved) testing_support::WriteWholeFile(path, crafted);
  if (suspended) ResumeThread(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0x80000000u;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (moved) {
    DeleteFileW(path.c_str());
    MoveFileW(aside.c_str(), path.c_str());
  }
  return exit_code;
}

// Whoever may rename files in the installer's folder can rename the running
// installer and put another file at its path. The run must still install
// what it was started with: setup gets the original archive, and a file
// that ends early makes no healthy run fail.
TEST_F(EndToEndTest, FileSwappedUnderTheRunIsNeverRead) {
  const std::string archive_sha256 = testing_support::Sha256Hex(
      testing_support::ReadWholeFile(TestFile(PRODUCT_ARCHIVE)));
  const std::wstring record = records_.Child(L"setup-record.txt");
  struct Swap {
    const char* why;
    const char* installer;
    bool cut;
    bool suspended;
    int runs;
  } const swaps[] = {
      {"plain setup, started suspended", PLAIN_INSTALLER, false, true, 1},
      {"cabinet, started suspended", CABINET_INSTALLER, false, true, 1},
      {"a shorter file, started suspended", CABINET_INSTALLER, true, true, 1},
      {"cabinet, swapped right after the start", CABINET_INSTALLER, false,
       false, 8},
  };
  for (const Swap& swap : swaps) {
    SCOPED_TRACE(swap.why);
    const std::string crafted =
        CraftedInstaller(TestFile(swap.installer), swap.cut);
    for (int i = 0; i < swap.runs; ++i) {
      CheckEnding({swap.why, swap.installer, L"", L"0", false, false, 0,
                   Record::kSuccess, 0, 0x30000, false, {},
                   "install archive:N "},
                  FreshInstaller(), {}, [&](const std::wstring& installer) {
                    return RunSwapped(installer, crafted, swap.suspended);
                  });
      const std::vector<StandInRun> runs = ReadStandInRecord(record);
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0]["install-archive.sha256"], archive_sha256);
    }
  }
}

// While setup runs, the work folder is held: nobody, setup included, can
// move it away to put a link in its place. A thread that faults in the
// installer meanwhile, started there by someone else, ends neither the run
// nor its cleanup: the run waits for setup as before and reports setup's
// own result.
TEST_F(EndToEndTest, WhatHappensBesideSetupDoesNotChangeTheRun) {
  const Ending rows[] = {
      {"setup tries to move its work folder away", CABINET_INSTALLER, L"",
       L"0", false, false, 0, Record::kSuccess, 0, 0x30000, false, {},
       "install archive:N ", false, nullptr, nullptr, L"rename-folder"},
      {"a thread faults in the installer, setup exits with 0",
       CABINET_INSTALLER, L"", L"0", false, false, 0, Record::kSuccess, 0,
       0x30000, false, {}, "install archive:N ", false, nullptr, nullptr,
       L"fault-parent"},
      {"a thread faults in the installer, setup exits with 3", PLAIN_INSTALLER,
       L"", L"3", false, false, 3, Record::kFailure, 3, 0, false, {},
       "install archive:N ", false, nullptr, nullptr, L"fault-parent"},
  };
  for (const Ending& row : rows) {
    CheckEnding(row, FreshInstaller());
  }
}

// What a program's "key=value" report says.
std::map<std::string, std::string> ReadReport(const std::wstring& path) {
  std::map<std::string, std::string> values;
  std::string text = testing_support::ReadWholeFile(path);
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) {
      values[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return values;
}

// Other programs of the same user cannot take the run's work folder or its
// files from it. A debugger that stops the installer as it makes its work
// folder, standing in for an unlucky preemption, finds the name it made
// first taken for another and the folder held from the very call that made
// it: moving it away is refused when that call returns and before the
// installer's next open. A program that may write in the work folder (under
// Wine any of the user's) tries again and again to swap each file for one of
// its own as it appears: setup is the product's, and gets the product's
// archive.
TEST_F(EndToEndTest, SameUsersProgramsCannotTakeTheRunsFiles) {
  const std::string archive_sha256 = testing_support::Sha256Hex(
      testing_support::ReadWholeFile(TestFile(PRODUCT_ARCHIVE)));
  const std::wstring record = records_.Child(L"setup-record.txt");
  const std::wstring report = records_.Child(L"attack-report.txt");
  const auto product_installed = [&] {
    const std::vector<StandInRun> runs = ReadStandInRecord(record);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["install-archive.sha256"], archive_sha256);
  };

  CheckEnding({"stopped as it makes its work folder", CABINET_INSTALLER, L"",
               L"0", false, false, 0, Record::kSuccess, 0, 0x30000, false, {},
               "install archive:N "},
              FreshInstaller(), {},
              [&](const std::wstring& installer) {
                return RunProgram(TestFile(FOLDER_RACE_DEBUGGER_EXE),
                                  L"\"" + installer + L"\" \"" + report +
                                      L"\"");
              });
  std::map<std::string, std::string> attack = ReadReport(report);
  EXPECT_EQ(attack["folder_calls"], "2");
  EXPECT_EQ(attack["taken_at_return"].rfind("refused", 0), 0u)
      << attack["taken_at_return"];
  EXPECT_EQ(attack["taken_before_next_open"].rfind("refused", 0), 0u)
      << attack["taken_before_next_open"];
  EXPECT_EQ(attack["kept"], "yes") << "the name taken first was used";
  product_installed();

  // The writer stops once setup has written its record: a file that the
  // run lets go of to remove it may be taken then (the removal leaves it,
  // and the folder, alone), which changes nothing of what was installed.
  // What is checked is what setup was started with and given.
  for (const char* installer : {CABINET_INSTALLER, PLAIN_INSTALLER}) {
    SCOPED_TRACE(installer);
    fs::remove(report);
    fs::remove(record);
    // A fresh name each time: the last run's image may still be locked.
    const std::wstring path = scratch_.Child(
        L"beside_a_writer\\installer" + std::to_wstring(++programs_) +
        L".exe");
    fs::create_directories(fs::path(path).parent_path());
    CopyOver(TestFile(installer), path);
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    const std::wstring ready_name = L"Local\\korvel-writer-ready-" + tag;
    const std::wstring stop_name = L"Local\\korvel-writer-stop-" + tag;
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    const HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, stop_name.c_str());
    ASSERT_TRUE(ready != nullptr && stop != nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION writer = {};
    std::wstring line = L"\"" + TestFile(WORK_FOLDER_WRITER_EXE) + L"\" \"" +
                        fs::path(path).parent_path().wstring() + L"\" \"" +
                        report + L"\" " + ready_name + L" " + stop_name +
                        L" \"" + record + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                               0, nullptr, nullptr, &startup, &writer));
    EXPECT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
    DWORD exit_code = 0;
    {
      ScopedVariable setup_exit(kExitCodeVariable, L"0");
      ScopedVariable setup_record(L"STAND_IN_SETUP_RECORD", record);
      exit_code = RunProgram(path, L"");
    }
    SetEvent(stop);
    WaitForSingleObject(writer.hProcess, INFINITE);
    CloseHandle(writer.hThread);
    CloseHandle(writer.hProcess);
    CloseHandle(ready);
    CloseHandle(stop);
    EXPECT_EQ(exit_code, 0u);
    attack = ReadReport(report);
    EXPECT_NE(attack["attempts"], "0") << "the writer saw no file";
    product_installed();
    EXPECT_EQ(ReadStandInRecord(record)[0]["mode"], "install");
    std::error_code error;
    fs::remove_all(fs::path(path).parent_path(), error);
  }
}

// A program path is read into 260 units: 259 characters still leave room
// for the terminator. Folders of at most 100 characters make up the rest.
std::wstring PathOfLength(const std::wstring& base, size_t folder_length,
                          size_t total_length) {
  std::wstring folder = base;
  while (folder.size() < folder_length) {
    const size_t room = folder_length - folder.size();
    folder += std::wstring(std::min<size_t>(room - 1, 100), L'd') + L"\\";
  }
  std::wstring name(total_length - folder.size() - 4, L'n');
  return folder + name + L".exe";
}

TEST_F(EndToEndTest, ProgramPathOf259CharactersIsAccepted) {
  const std::wstring path = PathOfLength(scratch_.path(), 220, 259);
  ASSERT_EQ(path.size(), 259u);
  CheckEnding({"259 characters", CABINET_INSTALLER, L"", L"0", false, false,
               0, Record::kSuccess, 0, 0x30000, false, {}, "install archive:N "},
              path);
}

// A longer program path is checked by long_path_test: Wine starts programs
// at such paths only from the host's command line, never by CreateProcessW.

// Windows creates no folder whose path passes 247 characters for a program
// that is not long-path aware, and the work folder's name takes 12 beside
// the installer. From a folder of 235 characters (its backslash included)
// the run goes through; from one of 236 it ends at once as a path too long,
// having made and recorded nothing, where it would otherwise try ten times
// on Windows and fail as a folder it cannot make. Short payload names, so
// that every file fits such a folder: even the new setup program that the
// installed one builds from a patch, whose path the run checks last.
TEST_F(EndToEndTest, DeepestFolderAWorkFolderFitsBeside) {
  // An elevated run starts only a system-level installed setup program.
  const bool machine = testing_support::Elevated();
  if (!machine && testing_support::HighIntegrity()) {
    GTEST_SKIP() << "this limited token has high integrity (as Wine 10 gives "
                    "it): the run starts no per-user installed setup "
                    "program, and the system-level one needs HKLM, which "
                    "only an elevated run may write";
  }
  const wchar_t* arguments = machine ? L"--system-level" : L"";
  CheckEnding({"work folder of 247 characters", SHORT_NAMES_PATCH_INSTALLER,
               arguments, L"0", false, true, 0, Record::kSuccess, 0, 0x30000,
               false, {}, "self-update install archive:N ", machine},
              PathOfLength(scratch_.path(), 235, 240));
  CheckEnding({"work folder of 248 characters", SHORT_NAMES_PATCH_INSTALLER,
               arguments, L"0", false, true, 108, Record::kNone, 0, 0, false,
               {}, "", machine},
              PathOfLength(scratch_.path(), 236, 241));
}

// A small volume that runs full while the setup program is expanded: the
// installer, the archive and the cabinet fit, "setup.exe" does not. Setup
// must never start from a cut-short file.
TEST_F(EndToEndTest, VolumeFullDuringExpansion) {
  const std::wstring volume = testing_support::FullVolumeFolder();
  if (volume.empty()) {
    GTEST_SKIP() << "no small volume that runs full (STUB_TEST_FULL_VOLUME)";
  }
  const std::wstring installer = volume + L"installer.exe";
  const std::wstring filler = volume + L"filler.bin";
  const auto leave_room = [&] {
    // Room for the archive, the cabinet and half of the setup program.
    const uintmax_t payload =
        fs::file_size(TestFile(PRODUCT_ARCHIVE)) +
        CabinetSize(installer) +
        fs::file_size(TestFile(STAND_IN_SETUP_EXE)) / 2;
    const uintmax_t free_bytes = fs::space(volume).available;
    ASSERT_GT(free_bytes, payload);
    testing_support::WriteWholeFile(
        filler, std::string(free_bytes - payload, 'f'));
  };
  CheckEnding({"volume full during expansion", CABINET_INSTALLER, L"", L"0",
               false, false, 115, Record::kFailure, 115, 0, false, {}, ""},
              installer, leave_room);
  fs::remove(filler);
  fs::remove(installer);
}

// Libraries saved beside a downloaded installer under the names of system
// libraries, a cabinet library where "%WINDIR%\system32\cabinet.dll"
// points when WINDIR is unset, and one in the system32 folder of a WINDIR
// and SYSTEMROOT that the user set (an elevated run inherits the user's
// environment) are never loaded. Run by the ctest entry
// end_to_end_planted_libraries, whose WINEDLLOVERRIDES ("name,...=n,b")
// prefer native copies of exactly the libraries planted here: Wine takes it
// from the host environment that a process starts with. It names libraries
// that Windows does not protect as known DLLs; those that Wine itself loads
// before the entry point (its user32's imm32, version and the like, known
// DLLs on Windows) are left out, as no program could keep them away there.
// On Windows the same libraries are planted for real, with Windows' own
// known-DLL protection and nothing overridden.
TEST_F(EndToEndTest, PlantedLibrariesNeverLoad) {
  std::string list =
      "cabinet,cryptbase,uxtheme,dwmapi,userenv,profapi,apphelp,comctl32,"
      "propsys,ntmarta,wldp,msimg32,dbghelp,winmm,secur32";
  if (testing_support::UnderWine()) {
    const char* overrides = std::getenv("WINEDLLOVERRIDES");
    const std::string native_first = overrides != nullptr ? overrides : "";
    const size_t mode = native_first.rfind("=n,b");
    if (mode == std::string::npos || mode + 4 != native_first.size() ||
        native_first.find_first_of(";=") != mode) {
      GTEST_SKIP() << "under Wine, needs WINEDLLOVERRIDES=name,...=n,b to "
                      "prefer the planted copies";
    }
    list = native_first.substr(0, mode);
  }
  std::vector<std::wstring> names;
  list += ",";
  for (size_t start = 0, end; (end = list.find(',', start)) != list.npos;
       start = end + 1) {
    names.emplace_back(list.begin() + start, list.begin() + end);
  }
  const std::wstring folder = scratch_.Child(L"planted\\");
  const std::wstring users_windows = folder + L"windows";
  for (const std::wstring& system :
       {folder + L"%WINDIR%", folder + L"%SYSTEMROOT%", users_windows}) {
    fs::create_directories(system + L"\\system32");
  }
  const std::wstring planted = TestFile(PLANTED_LIBRARY);
  for (const std::wstring& name : names) {
    CopyOver(planted, folder + name + L".dll");
  }
  CopyOver(planted, folder + L"%WINDIR%\\system32\\cabinet.dll");
  CopyOver(planted, folder + L"%SYSTEMROOT%\\system32\\cabinet.dll");
  CopyOver(planted, users_windows + L"\\system32\\cabinet.dll");

  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  // A planted library that loads leaves "<name>.dll.loaded" beside itself,
  // which the comparison of the folder before and after the run reports.
  for (const wchar_t* windows : {static_cast<const wchar_t*>(nullptr),
                                 users_windows.c_str()}) {
    ScopedVariable windows_folder(L"WINDIR", windows);
    ScopedVariable system_root(L"SYSTEMROOT", windows);
    CheckEnding({windows == nullptr ? "planted libraries, WINDIR unset"
                                    : "planted libraries, the user's WINDIR",
                 CABINET_INSTALLER, L"", L"0", false, false, 0,
                 Record::kSuccess, 0, 0x30000, false, {}, "install archive:N "},
                folder + L"installer.exe");
  }
  SetCurrentDirectoryW(current);
}

}  // namespace
