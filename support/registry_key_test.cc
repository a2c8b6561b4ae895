#include "support/registry_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "testing/registry_scratch.h"
#include "testing/test_paths.h"

namespace installer {
namespace {

using testing_support::NumberBytes;
using testing_support::RawValue;
using testing_support::ReadRawValue;
using testing_support::ScratchKey;
using testing_support::TextBytes;

const std::wstring kTestKey = L"Software\\KorvelStubTests\\RegistryKey";

struct StoredValue {
  bool exists;
  DWORD type;
  std::string bytes;
};

class RegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.created());
    ASSERT_EQ(key_.Open(HKEY_CURRENT_USER, kTestKey.c_str(),
                        KEY_QUERY_VALUE | KEY_SET_VALUE),
              0u);
  }
  void Store(const StoredValue& value) {
    RegDeleteValueW(scratch_key(), L"v");
    if (value.exists) {
      ASSERT_EQ(scratch_.SetRaw(L"v", value.type, value.bytes), ERROR_SUCCESS);
    }
  }
  HKEY scratch_key() { return key_.handle(); }

  ScratchKey scratch_{HKEY_CURRENT_USER, kTestKey};
  RegistryKey key_;
};

TEST_F(RegistryKeyTest, ReadTextTerminatesOrRefuses) {
  const std::wstring ten = L"0123456789";
  struct Case {
    const char* label;
    StoredValue stored;
    uint64_t capacity;
    uint32_t status;
    std::wstring text;
  };
  const Case cases[] = {
      {"missing", {false, REG_SZ, ""}, 260, ERROR_FILE_NOT_FOUND, L""},
      {"10 characters unterminated", {true, REG_SZ, TextBytes(ten, false)},
       260, 0, ten},
      {"terminated", {true, REG_SZ, TextBytes(ten, true)}, 260, 0, ten},
      {"259 characters unterminated",
       {true, REG_SZ, TextBytes(std::wstring(259, L'a'), false)}, 260, 0,
       std::wstring(259, L'a')},
      {"260 characters unterminated",
       {true, REG_SZ, TextBytes(std::wstring(260, L'a'), false)}, 260,
       ERROR_MORE_DATA, L""},
      {"260 characters terminated",
       {true, REG_SZ, TextBytes(std::wstring(260, L'a'), true)}, 260,
       ERROR_MORE_DATA, L""},
      {"0 bytes", {true, REG_SZ, ""}, 260, 0, L""},
      {"1 byte", {true, REG_SZ, std::string(1, 'a')}, 260, 0, L""},
      {"odd size", {true, REG_SZ, TextBytes(L"ab", false) + 'c'}, 260, 0,
       L"ab"},
      {"one character into capacity 2", {true, REG_SZ, TextBytes(L"0", false)},
       2, 0, L"0"},
      {"two characters into capacity 2",
       {true, REG_SZ, TextBytes(L"00", false)}, 2, ERROR_MORE_DATA, L""},
      {"REG_EXPAND_SZ", {true, REG_EXPAND_SZ, TextBytes(ten, true)}, 260,
       ERROR_NOT_SUPPORTED, L""},
      {"REG_MULTI_SZ",
       {true, REG_MULTI_SZ, TextBytes(ten, true) + std::string(2, '\0')}, 260,
       ERROR_NOT_SUPPORTED, L""},
      {"REG_DWORD", {true, REG_DWORD, NumberBytes(7)}, 260,
       ERROR_NOT_SUPPORTED, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Store(c.stored);
    // Filled with non-zero units, so a missing terminator shows; the unit
    // past the capacity must survive every read.
    std::wstring buffer(c.capacity + 1, L'Z');
    EXPECT_EQ(key_.ReadText(L"v", buffer.data(), c.capacity), c.status);
    if (c.status == 0) {
      EXPECT_EQ(std::wstring(buffer.c_str()), c.text);
    }
    EXPECT_EQ(buffer[c.capacity], L'Z');
  }
}

TEST_F(RegistryKeyTest, ReadNumberWantsFourBytesOfRegDword) {
  struct Case {
    const char* label;
    StoredValue stored;
    uint32_t status;
  };
  const Case cases[] = {
      {"missing", {false, REG_DWORD, ""}, ERROR_FILE_NOT_FOUND},
      {"4 bytes", {true, REG_DWORD, NumberBytes(0xDEADBEEF)}, 0},
      {"2 bytes", {true, REG_DWORD, std::string("\x07\x00", 2)},
       ERROR_NO_DATA},
      {"0 bytes", {true, REG_DWORD, ""}, ERROR_NO_DATA},
      {"REG_SZ of one character", {true, REG_SZ, TextBytes(L"1", true)},
       ERROR_NOT_SUPPORTED},
      {"REG_BINARY of 4 bytes", {true, REG_BINARY, NumberBytes(1)},
       ERROR_NOT_SUPPORTED},
      {"REG_QWORD", {true, REG_QWORD, std::string(8, '\x01')},
       ERROR_MORE_DATA},
      {"REG_DWORD of 8 bytes", {true, REG_DWORD, std::string(8, '\x01')},
       ERROR_MORE_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Store(c.stored);
    uint32_t value = 0;
    EXPECT_EQ(key_.ReadNumber(L"v", &value), c.status);
    if (c.status == 0) {
      EXPECT_EQ(value, 0xDEADBEEFu);
    }
  }
}

TEST_F(RegistryKeyTest, WritesStoreTypedValuesWithTerminator) {
  EXPECT_EQ(key_.WriteText(L"text", L"x64-stable-full"), 0u);
  EXPECT_EQ(key_.WriteText(L"empty", L""), 0u);
  EXPECT_EQ(key_.WriteNumber(L"number", 0x30005), 0u);

  const RawValue text = ReadRawValue(HKEY_CURRENT_USER, kTestKey, L"text");
  EXPECT_EQ(text.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(text.bytes, TextBytes(L"x64-stable-full", true));
  const RawValue empty = ReadRawValue(HKEY_CURRENT_USER, kTestKey, L"empty");
  EXPECT_EQ(empty.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(empty.bytes, TextBytes(L"", true));
  const RawValue number = ReadRawValue(HKEY_CURRENT_USER, kTestKey, L"number");
  EXPECT_EQ(number.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(number.bytes, NumberBytes(0x30005));
}

TEST_F(RegistryKeyTest, OpenUsesTheAccessAskedFor) {
  RegistryKey reader;
  ASSERT_EQ(reader.Open(HKEY_CURRENT_USER, kTestKey.c_str(), KEY_QUERY_VALUE),
            0u);
  EXPECT_EQ(reader.WriteNumber(L"number", 1),
            static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ReadRawValue(HKEY_CURRENT_USER, kTestKey, L"number").exists);
}

TEST_F(RegistryKeyTest, FailedOpenLeavesNothingHeld) {
  ASSERT_TRUE(key_.IsOpen());
  EXPECT_EQ(key_.Open(HKEY_CURRENT_USER, (kTestKey + L"\\Missing").c_str(),
                      KEY_QUERY_VALUE),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(key_.IsOpen());
  EXPECT_EQ(key_.handle(), nullptr);
  EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER,
                                          kTestKey + L"\\Missing"));
  key_.Close();
  key_.Close();
  EXPECT_FALSE(key_.IsOpen());
}

// The one-shot read is for values outside the updater's key: native view,
// query access only.
TEST(ReadRegistryTextOnceTest, ReadsOneTextInTheNativeView) {
  if (!testing_support::Elevated()) {
    GTEST_SKIP() << "making keys in HKLM needs an elevated run";
  }
  const std::wstring native = L"Software\\KorvelStubTests\\Once";
  const std::wstring wow = L"Software\\Wow6432Node\\KorvelStubTests\\Once";
  ScratchKey native_key(HKEY_LOCAL_MACHINE, native);
  ScratchKey wow_key(HKEY_LOCAL_MACHINE, wow);
  ASSERT_TRUE(native_key.created());
  ASSERT_TRUE(wow_key.created());
  ASSERT_EQ(native_key.SetRaw(L"text", REG_SZ, TextBytes(L"native", false)),
            ERROR_SUCCESS);
  ASSERT_EQ(native_key.SetRaw(L"long", REG_SZ, TextBytes(L"12345", true)),
            ERROR_SUCCESS);
  ASSERT_EQ(native_key.SetRaw(L"number", REG_DWORD, NumberBytes(0)),
            ERROR_SUCCESS);
  ASSERT_EQ(wow_key.SetRaw(L"wow_only", REG_SZ, TextBytes(L"wow", true)),
            ERROR_SUCCESS);

  wchar_t buffer[8];
  std::fill(buffer, buffer + 8, L'Z');
  EXPECT_TRUE(ReadRegistryTextOnce(HKEY_LOCAL_MACHINE, native.c_str(),
                                   L"text", buffer, 8));
  EXPECT_EQ(std::wstring(buffer), L"native");
  EXPECT_FALSE(ReadRegistryTextOnce(HKEY_LOCAL_MACHINE, native.c_str(),
                                    L"long", buffer, 5));
  EXPECT_FALSE(ReadRegistryTextOnce(HKEY_LOCAL_MACHINE, native.c_str(),
                                    L"number", buffer, 8));
  EXPECT_FALSE(ReadRegistryTextOnce(HKEY_LOCAL_MACHINE, native.c_str(),
                                    L"wow_only", buffer, 8));
  EXPECT_FALSE(ReadRegistryTextOnce(HKEY_LOCAL_MACHINE,
                                    (native + L"\\Missing").c_str(), L"text",
                                    buffer, 8));
}

}  // namespace
}  // namespace installer
