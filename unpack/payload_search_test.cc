#include "unpack/payload_search.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/import_patch.h"
#include "testing/test_paths.h"
#include "unpack/testdata/cabinet_bytes.h"
#include "unpack/testdata/payload_image.h"

namespace installer {
namespace {

using testing_support::ImportPatch;
using testing_support::ScratchFolder;
using unpack_testing::ImageResource;
using unpack_testing::PayloadImage;

const std::string kArchive = "7z\xbc\xaf\x27\x1c archive";
const std::string kSecondArchive = "7z\xbc\xaf\x27\x1c another";
const std::string kSetup = "MSCF setup";
const std::string kOther = "something else";

ImageResource Named(const wchar_t* type, const std::wstring& name,
                    const std::string& data) {
  return ImageResource{type, name, data};
}

ImageResource Numbered(const wchar_t* type, WORD id, const std::string& data) {
  return ImageResource{type, L"", data, id};
}

std::string Bytes(const PayloadItem& item) {
  return item.data == nullptr
             ? std::string()
             : std::string(static_cast<const char*>(item.data), item.size);
}

struct SearchCase {
  const char* what;
  std::vector<ImageResource> resources;
  uint32_t exit_code;
  uint32_t error;
  std::wstring archive_type;
  std::wstring setup_type;
  std::wstring archive_name;  // checked when archive_type is not empty
  std::wstring setup_name;    // checked when setup_type is not empty
};

TEST(SearchPayloadTest, ResourceSets) {
  const std::wstring too_long = L"KORVEL" + std::wstring(254, L'X');
  const std::wstring longest = too_long.substr(0, 259);
  ImageResource unfindable = Named(L"B7", L"korvel.packed.7z", kSecondArchive);
  unfindable.keep_case = true;
  const SearchCase cases[] = {
      {"shipped layout",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BL", L"SETUP.EX_", kSetup)},
       0, 0, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"SETUP.EX_"},
      {"archive and setup program uncompressed",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BN", L"SETUP", kSetup)},
       0, 0, L"B7", L"BN", L"KORVEL.PACKED.7Z", L"SETUP"},
      {"archive in BL, setup in BN",
       {Named(L"BL", L"KORVEL.7Z", kArchive),
        Named(L"BN", L"SETUP.EXE", kSetup)},
       0, 0, L"BL", L"BN", L"KORVEL.7Z", L"SETUP.EXE"},
      {"patch beside the archive in B7",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"B7", L"SETUP.PATCH", kSetup)},
       0, 0, L"B7", L"B7", L"KORVEL.PACKED.7Z", L"SETUP.PATCH"},
      {"names given in lower and mixed case",
       {Named(L"B7", L"korvel.packed.7z", kArchive),
        Named(L"BL", L"SeTuP.ex_", kSetup)},
       0, 0, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"SETUP.EX_"},
      {"setup before the archive",
       {Named(L"B7", L"SETUP.PATCH", kSetup),
        Named(L"BN", L"KORVEL", kArchive)},
       0, 0, L"BN", L"B7", L"KORVEL", L"SETUP.PATCH"},
      {"numbered entry after the named ones",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive), Numbered(L"B7", 1, kOther),
        Named(L"BL", L"SETUP.EX_", kSetup)},
       0, 0, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"SETUP.EX_"},
      {"numbered entry alone in B7",
       {Numbered(L"B7", 5, kOther), Named(L"BL", L"KORVEL", kArchive),
        Named(L"BN", L"SETUP", kSetup)},
       0, 0, L"BL", L"BN", L"KORVEL", L"SETUP"},
      {"a name that the lookup cannot find counts as missing",
       {unfindable, Named(L"BN", L"KORVEL.7Z", kArchive),
        Named(L"BN", L"SETUP", kSetup)},
       0, 0, L"BN", L"BN", L"KORVEL.7Z", L"SETUP"},
      {"longest name that fits",
       {Named(L"B7", longest, kArchive), Named(L"BL", L"SETUP.EX_", kSetup)},
       0, 0, L"B7", L"BL", longest, L"SETUP.EX_"},
      {"other resource types are not looked at",
       {Named(L"B8", L"KORVEL.X", kArchive), Named(L"BLX", L"SETUP.X", kSetup),
        Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BN", L"SETUP", kSetup)},
       0, 0, L"B7", L"BN", L"KORVEL.PACKED.7Z", L"SETUP"},

      {"two archives in one type",
       {Named(L"B7", L"KORVEL.A", kArchive),
        Named(L"B7", L"KORVEL.B", kSecondArchive),
        Named(L"BL", L"SETUP.EX_", kSetup)},
       112, 68, L"", L"", L"", L""},
      {"second archive in a later type",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BN", L"KORVEL.OTHER", kSecondArchive),
        Named(L"BL", L"SETUP.EX_", kSetup)},
       115, 68, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"SETUP.EX_"},
      {"two setup programs across types",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BL", L"SETUP.EX_", kSetup), Named(L"BN", L"SETUP", kOther)},
       115, 68, L"B7", L"BL", L"KORVEL.PACKED.7Z", L"SETUP.EX_"},
      {"name with neither prefix",
       {Named(L"B7", L"README", kOther),
        Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BL", L"SETUP.EX_", kSetup)},
       112, 13, L"", L"", L"", L""},
      {"name with neither prefix after the archive was found",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BL", L"README", kOther), Named(L"BN", L"SETUP", kSetup)},
       115, 13, L"B7", L"", L"KORVEL.PACKED.7Z", L""},
      {"non-ASCII letter inside the prefix",
       {Named(L"B7", L"K\u00D6RVEL.PACKED.7Z", kArchive),
        Named(L"BL", L"SETUP.EX_", kSetup)},
       112, 13, L"", L"", L"", L""},
      {"name too long for a path",
       {Named(L"B7", too_long, kArchive), Named(L"BL", L"SETUP.EX_", kSetup)},
       112, 206, L"", L"", L"", L""},
      {"setup name too long after the archive was found",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
        Named(L"BL", L"SETUP" + std::wstring(300, L'X'), kSetup)},
       115, 206, L"B7", L"", L"KORVEL.PACKED.7Z", L""},
      {"nothing at all", {}, 112, 2, L"", L"", L"", L""},
      {"numbered entry only",
       {Numbered(L"B7", 1, kArchive)}, 112, 2, L"", L"", L"", L""},
      {"no setup program",
       {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive)},
       115, 2, L"B7", L"", L"KORVEL.PACKED.7Z", L""},
      {"no archive",
       {Named(L"BL", L"SETUP.EX_", kSetup)},
       112, 2, L"", L"BL", L"", L"SETUP.EX_"},
  };
  ScratchFolder folder(L"search");
  int index = 0;
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.what);
    PayloadImage image(folder.Child(L"image" + std::to_wstring(index++) +
                                    L".dll"),
                       c.resources);
    ASSERT_NE(image.module(), nullptr);
    PayloadSearch search;
    TypeTagString archive_type;
    TypeTagString setup_type;
    const RunOutcome outcome =
        SearchPayload(image.module(), &search, &archive_type, &setup_type);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.windows_error, c.error);
    EXPECT_EQ(std::wstring(archive_type.data()), c.archive_type);
    EXPECT_EQ(std::wstring(setup_type.data()), c.setup_type);
    if (!c.archive_type.empty()) {
      EXPECT_EQ(std::wstring(search.archive_name.data()), c.archive_name);
      EXPECT_EQ(Bytes(search.archive), kArchive);
    }
    if (!c.setup_type.empty()) {
      EXPECT_EQ(std::wstring(search.setup_name.data()), c.setup_name);
      EXPECT_EQ(Bytes(search.setup), kSetup);
    }
  }
}

DWORD g_lookup_error;

HRSRC WINAPI LookupFails(HMODULE, LPCWSTR, LPCWSTR) {
  SetLastError(g_lookup_error);
  return nullptr;
}

// The errors with which the system says that a lookup found nothing end a
// type's search without an error, as a type without resources does: the
// item is missing (2). Microsoft documents 1812 to 1815 as a resource
// section, type, name or language not found in the image, and 15100 to
// 15199 as the resource loader's own, about the language files beside an
// image. Any other error is the search's failure, reported as it is.
TEST(SearchPayloadTest, LookupErrorsThatMeanNothingFound) {
  ScratchFolder folder(L"lookup_errors");
  PayloadImage image(folder.Child(L"image.dll"),
                     {Named(L"B7", L"KORVEL.PACKED.7Z", kArchive),
                      Named(L"BL", L"SETUP.EX_", kSetup)});
  ASSERT_NE(image.module(), nullptr);
  ImportPatch lookup("kernel32.dll", "FindResourceW",
                     reinterpret_cast<void*>(&LookupFails));
  ASSERT_TRUE(lookup.applied());
  const struct {
    DWORD error;
    uint32_t reported;
  } cases[] = {
      {ERROR_RESOURCE_DATA_NOT_FOUND, 2}, {ERROR_RESOURCE_TYPE_NOT_FOUND, 2},
      {ERROR_RESOURCE_NAME_NOT_FOUND, 2}, {ERROR_RESOURCE_LANG_NOT_FOUND, 2},
      {ERROR_MUI_FILE_NOT_FOUND, 2},      {ERROR_NOACCESS, ERROR_NOACCESS},
      {ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    g_lookup_error = c.error;
    PayloadSearch search;
    TypeTagString archive_type;
    TypeTagString setup_type;
    const RunOutcome outcome =
        SearchPayload(image.module(), &search, &archive_type, &setup_type);
    EXPECT_EQ(outcome.exit_code, 112u);
    EXPECT_EQ(outcome.windows_error, c.reported);
  }
}

// The shipped image, once mapped as an executable image and once as a data
// file: the items are found in place, without a copy.
TEST(SearchPayloadTest, ShippedImageLoadedEitherWay) {
  const std::wstring path = unpack_testing::TestDataPath("shipped_image.dll");
  const std::string archive = unpack_testing::ReadTestData("archive.7z");
  const std::string cabinet = unpack_testing::ReadTestData("setup_large.cab");
  for (const DWORD flags :
       {DWORD{0}, DWORD{LOAD_LIBRARY_AS_DATAFILE |
                        LOAD_LIBRARY_AS_IMAGE_RESOURCE}}) {
    SCOPED_TRACE(flags);
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, flags);
    ASSERT_NE(module, nullptr);
    PayloadSearch search;
    TypeTagString archive_type;
    TypeTagString setup_type;
    const RunOutcome outcome =
        SearchPayload(module, &search, &archive_type, &setup_type);
    EXPECT_EQ(outcome.exit_code, 0u);
    EXPECT_EQ(std::wstring(archive_type.data()), L"B7");
    EXPECT_EQ(std::wstring(setup_type.data()), L"BL");
    EXPECT_EQ(std::wstring(search.archive_name.data()), L"KORVEL.PACKED.7Z");
    EXPECT_EQ(std::wstring(search.setup_name.data()), L"SETUP.EX_");
    EXPECT_TRUE(Bytes(search.archive) == archive);
    EXPECT_TRUE(Bytes(search.setup) == cabinet);
    // Both items point into the mapped image.
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(VirtualQuery(search.setup.data, &region, sizeof(region)), 0u);
    const auto base = reinterpret_cast<ULONG_PTR>(module) &
                      ~static_cast<ULONG_PTR>(0xFFFF);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(region.AllocationBase), base);
    FreeLibrary(module);
  }
}

}  // namespace
}  // namespace installer
