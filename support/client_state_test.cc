#include "support/client_state.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/registry_scratch.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::KeyExists;
using testing_support::NumberBytes;
using testing_support::RawValue;
using testing_support::ReadRawValue;
using testing_support::ScratchKey;
using testing_support::TextBytes;

// Made up, so that no channel of the product is touched.
constexpr wchar_t kTestGuid[] = L"{7E57C0DE-5A1E-4C1E-8A7E-00000000C1A1}";
const std::wstring kNativePath =
    std::wstring(L"Software\\Quivra\\Update\\ClientState\\") + kTestGuid;
// Where the 32-bit view of HKEY_LOCAL_MACHINE\Software lies in a 64-bit
// prefix.
const std::wstring kWowPath =
    std::wstring(L"Software\\Wow6432Node\\Quivra\\Update\\ClientState\\") +
    kTestGuid;

// Every place a client-state key of the test identifier could end up.
bool AnyClientStateKeyExists() {
  return KeyExists(HKEY_LOCAL_MACHINE, kNativePath) ||
         KeyExists(HKEY_LOCAL_MACHINE, kWowPath) ||
         KeyExists(HKEY_CURRENT_USER, kNativePath) ||
         KeyExists(HKEY_CURRENT_USER, kWowPath);
}

void UseTestChannel(InstallerSettings* settings, bool system_level) {
  settings->app_guid = kTestGuid;
  settings->system_level = system_level;
}

struct Location {
  const char* label;
  bool system_level;
  HKEY root;
  const std::wstring* path;
  HKEY other_root;
  const std::wstring* other_path;
};

const Location kLocations[] = {
    {"system level", true, HKEY_LOCAL_MACHINE, &kWowPath, HKEY_CURRENT_USER,
     &kNativePath},
    {"per user", false, HKEY_CURRENT_USER, &kNativePath, HKEY_LOCAL_MACHINE,
     &kWowPath},
};

TEST(ClientStateTest, RecordsLandInTheRunsRootAndThe32BitView) {
  if (!testing_support::Elevated()) {
    GTEST_SKIP() << "making keys in HKLM needs an elevated run";
  }
  ASSERT_FALSE(AnyClientStateKeyExists());
  for (const Location& where : kLocations) {
    SCOPED_TRACE(where.label);
    ScratchKey key(where.root, *where.path);
    ScratchKey other(where.other_root, *where.other_path);
    ASSERT_TRUE(key.created());
    ASSERT_TRUE(other.created());
    InstallerSettings settings;
    UseTestChannel(&settings, where.system_level);

    EnsureFullTag(settings);
    WriteInstallerFailure(settings, RunOutcome{107, 5});

    EXPECT_EQ(ReadRawValue(where.root, *where.path, L"ap").bytes,
              TextBytes(L"-full", true));
    EXPECT_EQ(ReadRawValue(where.root, *where.path, L"InstallerError").bytes,
              NumberBytes(107));
    EXPECT_FALSE(ReadRawValue(where.other_root, *where.other_path, L"ap")
                     .exists);
    EXPECT_FALSE(ReadRawValue(where.other_root, *where.other_path,
                              L"InstallerResult")
                     .exists);
    if (where.system_level) {
      // The native view of the machine key is never used.
      EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kNativePath));
    }
  }
  EXPECT_FALSE(AnyClientStateKeyExists());
}

TEST(ClientStateTest, MissingKeyIsNeverCreated) {
  ASSERT_FALSE(AnyClientStateKeyExists());
  for (bool system_level : {false, true}) {
    InstallerSettings settings;
    UseTestChannel(&settings, system_level);
    EnsureFullTag(settings);
    WriteInstallerFailure(settings, RunOutcome{107, 5});
    EXPECT_FALSE(AnyClientStateKeyExists()) << system_level;
  }
}

TEST(EnsureFullTagTest, MarksTheTagOnceAndOnlyWhenItFits) {
  const std::wstring length_122(122, L'a');
  const std::wstring length_123(123, L'a');
  struct Case {
    const char* label;
    bool exists;
    DWORD type;
    std::string stored;  // unchanged values are stored unterminated, so
                         // that a rewrite would show
    std::string expected;
  };
  const Case cases[] = {
      {"no tag", false, REG_SZ, "", TextBytes(L"-full", true)},
      {"empty tag", true, REG_SZ, "", TextBytes(L"-full", true)},
      {"channel tag", true, REG_SZ, TextBytes(L"x64-stable", false),
       TextBytes(L"x64-stable-full", true)},
      {"already marked", true, REG_SZ, TextBytes(L"x64-stable-FULL", false),
       TextBytes(L"x64-stable-FULL", false)},
      {"only the suffix", true, REG_SZ, TextBytes(L"-FULL", false),
       TextBytes(L"-FULL", false)},
      {"122 characters", true, REG_SZ, TextBytes(length_122, false),
       TextBytes(length_122 + L"-full", true)},
      {"123 characters", true, REG_SZ, TextBytes(length_123, false),
       TextBytes(length_123, false)},
      {"too long to read", true, REG_SZ,
       TextBytes(std::wstring(128, L'a'), true),
       TextBytes(std::wstring(128, L'a'), true)},
      {"REG_EXPAND_SZ", true, REG_EXPAND_SZ, TextBytes(L"x64-stable", false),
       TextBytes(L"x64-stable", false)},
      {"REG_DWORD", true, REG_DWORD, NumberBytes(1), NumberBytes(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchKey key(HKEY_CURRENT_USER, kNativePath);
    ASSERT_TRUE(key.created());
    if (c.exists) {
      ASSERT_EQ(key.SetRaw(L"ap", c.type, c.stored), 0);
    }
    InstallerSettings settings;
    UseTestChannel(&settings, false);

    EnsureFullTag(settings);

    const RawValue tag = ReadRawValue(HKEY_CURRENT_USER, kNativePath, L"ap");
    EXPECT_EQ(tag.type, c.exists ? c.type : static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(tag.bytes, c.expected);
  }
}

TEST(WriteInstallerFailureTest, KeepsAnEarlierFailureOnRecord) {
  struct Case {
    const char* label;
    bool exists;
    DWORD type;
    std::string stored;
    RunOutcome outcome;
    bool written;
  };
  const Case cases[] = {
      {"no result", false, REG_DWORD, "", {107, 5}, true},
      {"result 0", true, REG_DWORD, NumberBytes(0), {107, 5}, true},
      {"result 2", true, REG_DWORD, NumberBytes(2), {107, 5}, false},
      {"result as REG_SZ", true, REG_SZ, TextBytes(L"2", true), {107, 5},
       true},
      {"result of 2 bytes", true, REG_DWORD, std::string("\x02\x00", 2),
       {107, 5}, true},
      {"full 32-bit error", false, REG_DWORD, "", {122, 0xFFFFFFFF}, true},
      {"success", false, REG_DWORD, "", {0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchKey key(HKEY_CURRENT_USER, kNativePath);
    ASSERT_TRUE(key.created());
    if (c.exists) {
      ASSERT_EQ(key.SetRaw(L"InstallerResult", c.type, c.stored), 0);
    }
    ASSERT_EQ(key.SetRaw(L"InstallerError", REG_DWORD, NumberBytes(9)), 0);
    InstallerSettings settings;
    UseTestChannel(&settings, false);

    WriteInstallerFailure(settings, c.outcome);

    const auto number = [](const wchar_t* name) {
      return ReadRawValue(HKEY_CURRENT_USER, kNativePath, name);
    };
    if (c.written) {
      EXPECT_EQ(number(L"InstallerResult").type,
                static_cast<DWORD>(REG_DWORD));
      EXPECT_EQ(number(L"InstallerResult").bytes, NumberBytes(1));
      EXPECT_EQ(number(L"InstallerError").bytes,
                NumberBytes(c.outcome.exit_code));
      EXPECT_EQ(number(L"InstallerExtraCode1").bytes,
                NumberBytes(c.outcome.windows_error));
    } else {
      EXPECT_EQ(number(L"InstallerResult").exists, c.exists);
      EXPECT_EQ(number(L"InstallerResult").bytes, c.stored);
      EXPECT_EQ(number(L"InstallerError").bytes, NumberBytes(9));
      EXPECT_FALSE(number(L"InstallerExtraCode1").exists);
    }
  }
}

TEST(OpenClientStateKeyTest, PathThatDoesNotFitLeavesTheHolderAlone) {
  ScratchKey scratch(HKEY_CURRENT_USER, kNativePath);
  ASSERT_TRUE(scratch.created());
  RegistryKey key;
  ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, kTestGuid, KEY_QUERY_VALUE,
                               &key),
            0u);
  const HKEY held = key.handle();

  // The prefix takes 35 units, so 224 more fill the 259 characters exactly.
  const std::wstring too_long(225, L'g');
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, too_long.c_str(),
                               KEY_QUERY_VALUE, &key),
            static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(key.handle(), held);
  uint32_t unused = 0;
  EXPECT_EQ(key.ReadNumber(L"InstallerResult", &unused),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

  const std::wstring fits(224, L'g');
  EXPECT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, fits.c_str(),
                               KEY_QUERY_VALUE, &key),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(key.IsOpen());
}

}  // namespace
}  // namespace installer
