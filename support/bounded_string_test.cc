#include "support/bounded_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace installer {
namespace {

// A buffer with guard units on both sides, so that a write outside the
// capacity shows up as a changed guard.
template <uint64_t N>
struct Guarded {
  static constexpr wchar_t kGuard = 0xBEEF;
  wchar_t before = kGuard;
  BoundedWideString<N> text;
  wchar_t after = kGuard;
  bool GuardsIntact() const {
    return before == kGuard && after == kGuard && text.units[N] == 0;
  }
};

TEST(BoundedLengthTest, ClampsToCapacity) {
  Guarded<260> buffer;
  for (uint64_t i = 0; i < 260; ++i) buffer.text.units[i] = L'a';
  EXPECT_EQ(BoundedLength(buffer.text.units, 260), 259u);
  EXPECT_EQ(BoundedLength(buffer.text.units, 1), 0u);
  EXPECT_EQ(BoundedLength(nullptr, 260), 0u);
  buffer.text.units[7] = 0;
  EXPECT_EQ(BoundedLength(buffer.text.units, 260), 7u);
}

TEST(BoundedCopyTest, FitsOrLeavesEmptyText) {
  Guarded<260> buffer;
  std::wstring fits(259, L'x');
  ASSERT_TRUE(buffer.text.Copy(fits.c_str()));
  EXPECT_EQ(buffer.text.units[259], 0);
  EXPECT_EQ(buffer.text.Length(), 259u);

  std::wstring too_long(260, L'y');
  EXPECT_FALSE(buffer.text.Copy(too_long.c_str()));
  EXPECT_EQ(buffer.text.units[0], 0);
  EXPECT_TRUE(buffer.GuardsIntact());

  EXPECT_FALSE(BoundedCopy(nullptr, 5, L"a"));
  wchar_t untouched[2] = {L'q', 0};
  EXPECT_FALSE(BoundedCopy(untouched, 0, L"a"));
  EXPECT_EQ(untouched[0], L'q');
}

TEST(BoundedCopyTest, OverlappingCopyShiftsLeft) {
  BoundedWideString<260> buffer;
  ASSERT_TRUE(buffer.Copy(L"\"abc\""));
  ASSERT_TRUE(BoundedCopy(buffer.units, 260, buffer.units + 1));
  EXPECT_EQ(std::wstring(buffer.units), L"abc\"");
}

TEST(BoundedAppendTest, AllOrNothingPerPiece) {
  struct Case {
    uint64_t capacity;
    const wchar_t* start;
    const wchar_t* piece;
    bool fits;
    const wchar_t* result;
  };
  const Case cases[] = {
      {5, L"ab", L"xyz", false, L"ab"},
      {6, L"ab", L"xyz", true, L"abxyz"},
      {6, L"abcde", L"", true, L"abcde"},
      {6, L"abcde", L"f", false, L"abcde"},
      {1, L"", L"", true, L""},
      {1, L"", L"a", false, L""},
  };
  for (const Case& c : cases) {
    Guarded<6> buffer;
    ASSERT_TRUE(BoundedCopy(buffer.text.units, c.capacity, c.start));
    EXPECT_EQ(BoundedAppend(buffer.text.units, c.capacity, c.piece), c.fits)
        << c.capacity << " " << c.piece;
    EXPECT_EQ(std::wstring(buffer.text.units), c.result);
    EXPECT_TRUE(buffer.GuardsIntact());
  }
  EXPECT_FALSE(BoundedAppend(nullptr, 6, L"a"));
}

TEST(BoundedAppendTest, BufferFilledWithoutTerminatorStaysBounded) {
  Guarded<8> buffer;
  for (uint64_t i = 0; i < 8; ++i) buffer.text.units[i] = L'z';
  // Length is clamped to 7, so only the last unit of the capacity is free.
  EXPECT_TRUE(buffer.text.Append(L""));
  EXPECT_EQ(buffer.text.Length(), 7u);
  EXPECT_TRUE(buffer.GuardsIntact());
}

TEST(CaseFoldingTest, SuffixPrefixAndFind) {
  EXPECT_TRUE(EndsWithNoCase(L"x64-stable-FULL", L"-full"));
  EXPECT_TRUE(EndsWithNoCase(L"", L""));
  EXPECT_FALSE(EndsWithNoCase(L"ull", L"-full"));
  EXPECT_FALSE(EndsWithNoCase(nullptr, L""));
  EXPECT_TRUE(StartsWithNoCase(L"KORVEL.PACKED.7Z", L"korvel"));
  EXPECT_FALSE(StartsWithNoCase(L"kor", L"korvel"));
  EXPECT_TRUE(StartsWithNoCase(L"anything", L""));
  EXPECT_FALSE(StartsWithNoCase(nullptr, L""));
  // Only A to Z fold.
  EXPECT_FALSE(StartsWithNoCase(L"\u00C9", L"\u00E9"));
  EXPECT_FALSE(StartsWithNoCase(L"\x5B", L"\x7B"));
  EXPECT_FALSE(EndsWithNoCase(L"a@", L"a`"));
}

TEST(FindNoCaseTest, LeftmostMatchOrNull) {
  const wchar_t* text = L"C:\\Apps\\Version-1.2\\version-1.2\\setup.exe";
  EXPECT_EQ(FindNoCase(text, nullptr), text);
  EXPECT_EQ(FindNoCase(text, L""), text);
  EXPECT_EQ(FindNoCase(text, L"VERSION-1.2"), text + 8);
  EXPECT_EQ(FindNoCase(L"abcd", L"cde"), nullptr);
  EXPECT_EQ(FindNoCase(L"", L"a"), nullptr);
  EXPECT_EQ(FindNoCase(L"aab", L"ab"), static_cast<const wchar_t*>(L"aab") + 1);
}

TEST(AfterLastBackslashTest, FindsFileName) {
  const wchar_t* path = L"D:\\apps\\stub.exe";
  EXPECT_EQ(AfterLastBackslash(path, 16), path + 8);
  const wchar_t* rooted = L"\\x";
  EXPECT_EQ(AfterLastBackslash(rooted, 2), rooted + 1);
  const wchar_t* bare = L"stub.exe";
  EXPECT_EQ(AfterLastBackslash(bare, 8), bare);
  EXPECT_EQ(AfterLastBackslash(bare, 0), bare);
  const wchar_t* trailing = L"a\\b\\";
  EXPECT_EQ(AfterLastBackslash(trailing, 4), trailing + 4);
}

TEST(FillBytesTest, WritesExactlyCount) {
  unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(FillBytes(bytes, 0x1FF, 4), bytes);
  const unsigned char expected[6] = {0xFF, 0xFF, 0xFF, 0xFF, 5, 6};
  EXPECT_EQ(std::memcmp(bytes, expected, 6), 0);
  FillBytes(bytes, 0, 0);
  EXPECT_EQ(bytes[0], 0xFF);
}

TEST(HexEncodeTest, UpperCaseHighNibbleFirst) {
  const uint8_t bytes[] = {0x00, 0xAB, 0x12, 0xFF};
  Guarded<9> buffer;
  ASSERT_TRUE(HexEncode(bytes, 4, buffer.text.units, 9));
  EXPECT_EQ(std::wstring(buffer.text.units), L"00AB12FF");
  EXPECT_TRUE(buffer.GuardsIntact());

  wchar_t small[9] = {L'k', 0};
  EXPECT_FALSE(HexEncode(bytes, 4, small, 8));
  EXPECT_EQ(small[0], L'k');
  EXPECT_TRUE(HexEncode(bytes, 0, small, 1));
  EXPECT_EQ(small[0], 0);
}

}  // namespace
}  // namespace installer
