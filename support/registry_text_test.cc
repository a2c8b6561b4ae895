#include "support/registry_text.h"

#include <gtest/gtest.h>

#include <string>

namespace installer {
namespace {

constexpr wchar_t kFill = 0xBEEF;

struct Case {
  const char* label;
  std::wstring stored;  // what the registry put at the buffer's start
  uint64_t capacity;
  uint32_t returned_bytes;
  bool fits;
  std::wstring text;  // the terminated text when it fits
};

TEST(TerminateRegistryTextTest, TerminatesOrRefuses) {
  const std::wstring ten = L"abcdefghij";
  const Case cases[] = {
      {"no bytes", L"", 260, 0, true, L""},
      {"half a unit", L"a", 260, 1, true, L""},
      {"own terminator", std::wstring(L"ab\0", 3), 260, 6, true, L"ab"},
      {"unterminated, room left", ten, 260, 20, true, ten},
      {"odd size drops the half unit", L"abc", 260, 5, true, L"ab"},
      {"odd size, half unit after terminator", std::wstring(L"a\0", 2), 3, 5,
       true, L"a"},
      {"exactly full, unterminated", std::wstring(260, L'x'), 260, 520,
       false, L""},
      {"one short of full", std::wstring(259, L'x'), 260, 518, true,
       std::wstring(259, L'x')},
      {"full, terminator stored last", std::wstring(259, L'x') + L'\0', 260,
       520, true, std::wstring(259, L'x')},
      {"capacity 2, one character", L"0", 2, 2, true, L"0"},
      {"capacity 2, two characters", L"00", 2, 4, false, L""},
      {"capacity 2, one character and terminator", std::wstring(L"0\0", 2), 2,
       4, true, L"0"},
      {"size beyond the buffer", std::wstring(L"a\0", 2), 2, 6, false, L""},
      {"odd size one byte beyond", L"ab", 2, 5, false, L""},
      {"largest size", L"ab", 2, 0xFFFFFFFF, false, L""},
      {"no capacity", L"", 0, 0, false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // One guard unit past the capacity shows any write beyond it.
    std::wstring buffer(c.capacity + 1, kFill);
    buffer.replace(0, c.stored.size(), c.stored);
    const bool fits =
        TerminateRegistryText(buffer.data(), c.capacity, c.returned_bytes);
    EXPECT_EQ(fits, c.fits);
    if (c.fits) {
      EXPECT_EQ(std::wstring(buffer.c_str()), c.text);
    }
    EXPECT_EQ(buffer[c.capacity], kFill);
  }
}

TEST(TerminateRegistryTextTest, FailureLeavesTheBytesAlone) {
  std::wstring buffer(4, L'x');
  buffer.push_back(kFill);
  EXPECT_FALSE(TerminateRegistryText(buffer.data(), 4, 8));
  EXPECT_EQ(buffer, std::wstring(4, L'x') + kFill);
  EXPECT_FALSE(TerminateRegistryText(nullptr, 4, 0));
}

}  // namespace
}  // namespace installer
