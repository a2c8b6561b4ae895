#include "unpack/payload_name.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace installer {
namespace {

TEST(ClassifyPayloadNameTest, PrefixTable) {
  struct Case {
    const wchar_t* name;
    PayloadItemKind kind;
  } const cases[] = {
      {L"KORVEL.PACKED.7Z", PayloadItemKind::kArchive},
      {L"korvel.packed.7z", PayloadItemKind::kArchive},
      {L"KoRvEl", PayloadItemKind::kArchive},
      {L"SETUP.EX_", PayloadItemKind::kSetup},
      {L"setup", PayloadItemKind::kSetup},
      {L"SetupPatch", PayloadItemKind::kSetup},
      // The archive prefix is tried first.
      {L"KORVELSETUP", PayloadItemKind::kArchive},
      {L"SETUPKORVEL", PayloadItemKind::kSetup},
      {L"KORVE", PayloadItemKind::kNeither},
      {L"SETU", PayloadItemKind::kNeither},
      {L"", PayloadItemKind::kNeither},
      {L"XSETUP", PayloadItemKind::kNeither},
      {L" KORVEL", PayloadItemKind::kNeither},
      // Only A to Z fold: the Kelvin sign and accented letters are not the
      // prefix's letters; what follows the prefix does not matter.
      {L"KORVEL\u0130", PayloadItemKind::kArchive},
      {L"\u212AORVEL", PayloadItemKind::kNeither},
      {L"S\u00C9TUP", PayloadItemKind::kNeither},
      {L"KORV\u00C9L", PayloadItemKind::kNeither},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyPayloadName(c.name), c.kind)
        << ::testing::PrintToString(std::wstring(c.name));
  }
  EXPECT_EQ(ClassifyPayloadName(nullptr), PayloadItemKind::kNeither);
}

// The same table is read by the release tools' test, so that the packer and
// the inspector refuse exactly the names that the installer refuses.
TEST(IsUsablePayloadFileNameTest, SharedTable) {
  struct Case {
    bool usable;
    const wchar_t* name;
  } const cases[] = {
#define NAME(usable, text) {usable, text},
#include "unpack/testdata/payload_file_names.inc"
#undef NAME
  };
  ASSERT_GT(std::size(cases), 40u);
  for (const Case& c : cases) {
    EXPECT_EQ(IsUsablePayloadFileName(c.name), c.usable)
        << ::testing::PrintToString(std::wstring(c.name));
  }
  EXPECT_FALSE(IsUsablePayloadFileName(nullptr));
}

TEST(RecordPayloadItemTest, FillsEachItemOnce) {
  const char archive_bytes[] = "7z";
  const char setup_bytes[] = "MSCF";
  PayloadSearch search;
  ASSERT_TRUE(RecordPayloadItem(L"setup.ex_", setup_bytes, 4, &search));
  ASSERT_TRUE(RecordPayloadItem(L"Korvel.7z", archive_bytes, 2, &search));
  EXPECT_EQ(std::wstring(search.archive_name.data()), L"Korvel.7z");
  EXPECT_EQ(search.archive.data, archive_bytes);
  EXPECT_EQ(search.archive.size, 2u);
  EXPECT_EQ(std::wstring(search.setup_name.data()), L"setup.ex_");
  EXPECT_EQ(search.setup.data, setup_bytes);
  EXPECT_EQ(search.setup.size, 4u);
  EXPECT_EQ(search.error, 0u);

  // A second archive or setup program ends the type without touching what
  // was found.
  EXPECT_FALSE(RecordPayloadItem(L"KORVEL2", setup_bytes, 9, &search));
  EXPECT_EQ(search.error, 68u);
  search.error = 0;
  EXPECT_FALSE(RecordPayloadItem(L"SETUP2", archive_bytes, 9, &search));
  EXPECT_EQ(search.error, 68u);
  EXPECT_EQ(std::wstring(search.archive_name.data()), L"Korvel.7z");
  EXPECT_EQ(search.archive.size, 2u);
  EXPECT_EQ(std::wstring(search.setup_name.data()), L"setup.ex_");
  EXPECT_EQ(search.setup.size, 4u);
}

// A name that would put the item outside the work folder, on a device or
// under another name is refused before anything is recorded.
TEST(RecordPayloadItemTest, UnusableNameIsNoItem) {
  const char bytes[] = "7z";
  for (const wchar_t* name :
       {L"KORVEL\\..\\..\\VICTIM.TXT", L"setup/../x", L"SETUP.", L"korvel:s",
        L"SETUP .", L"Korvel\\"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(name)));
    PayloadSearch search;
    EXPECT_FALSE(RecordPayloadItem(name, bytes, 2, &search));
    EXPECT_EQ(search.error, 123u);
    EXPECT_TRUE(search.archive_name.IsEmpty());
    EXPECT_TRUE(search.setup_name.IsEmpty());
    EXPECT_EQ(search.archive.size, 0u);
    EXPECT_EQ(search.setup.size, 0u);
  }
  // Neither prefix, a second item and a name too long are told first.
  PayloadSearch search;
  EXPECT_FALSE(RecordPayloadItem(L"..\\x", bytes, 2, &search));
  EXPECT_EQ(search.error, 13u);
}

}  // namespace
}  // namespace installer
