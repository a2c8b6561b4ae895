// Test-only: a copy of the empty base image given a chosen set of resources
// with UpdateResourceW, loaded as a data file the way a release tool loads an
// installer, or as the loader maps a program it starts.
#ifndef UNPACK_TESTDATA_PAYLOAD_IMAGE_H_
#define UNPACK_TESTDATA_PAYLOAD_IMAGE_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_paths.h"
#include "unpack/testdata/cabinet_bytes.h"

namespace unpack_testing {

struct ImageResource {
  const wchar_t* type;
  std::wstring name;  // empty: identified by `id`
  std::string data;
  WORD id = 0;
  // The resource table gets the name in exactly this case. UpdateResourceW
  // stores names upper-cased, and the platform's lookup upper-cases the name
  // it looks for, so such an entry is listed but cannot be found.
  bool keep_case = false;
};

// kImageResource: mapped as an image, but never run (Windows may map it
// without execute rights). kProgram: mapped by the loader as it maps a
// program or library that runs, its entry called; the base image's entry
// does nothing.
enum class Mapping { kImageResource, kProgram };

class PayloadImage {
 public:
  PayloadImage(const std::wstring& path,
               const std::vector<ImageResource>& resources,
               Mapping mapping = Mapping::kImageResource)
      : path_(path) {
    EXPECT_TRUE(CopyFileW(TestDataPath("base_image.dll").c_str(),
                          path.c_str(), FALSE));
    HANDLE update = BeginUpdateResourceW(path.c_str(), TRUE);
    EXPECT_NE(update, nullptr);
    for (const ImageResource& resource : resources) {
      const wchar_t* name = resource.name.empty()
                                ? MAKEINTRESOURCEW(resource.id)
                                : resource.name.c_str();
      EXPECT_TRUE(UpdateResourceW(
          update, resource.type, name, MAKELANGID(LANG_ENGLISH,
                                                  SUBLANG_ENGLISH_US),
          const_cast<char*>(resource.data.data()),
          static_cast<DWORD>(resource.data.size())));
    }
    EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
    for (const ImageResource& resource : resources) {
      if (resource.keep_case) RestoreCase(resource.name);
    }
    module_ = LoadLibraryExW(
        path.c_str(), nullptr,
        mapping == Mapping::kProgram
            ? 0
            : LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    EXPECT_NE(module_, nullptr);
  }
  ~PayloadImage() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  PayloadImage(const PayloadImage&) = delete;
  PayloadImage& operator=(const PayloadImage&) = delete;

  const std::wstring& path() const { return path_; }
  HMODULE module() const { return module_; }

 private:
  void RestoreCase(const std::wstring& name) {
    std::wstring upper = name;
    for (wchar_t& unit : upper) {
      if (unit >= L'a' && unit <= L'z') unit = static_cast<wchar_t>(unit - 32);
    }
    auto as_bytes = [](const std::wstring& text) {
      return std::string(reinterpret_cast<const char*>(text.data()),
                         text.size() * sizeof(wchar_t));
    };
    std::string image = testing_support::ReadWholeFile(path_);
    const size_t at = image.find(as_bytes(upper));
    ASSERT_NE(at, std::string::npos);
    image.replace(at, name.size() * sizeof(wchar_t), as_bytes(name));
    testing_support::WriteWholeFile(path_, image);
  }

  std::wstring path_;
  HMODULE module_ = nullptr;
};

}  // namespace unpack_testing

#endif  // UNPACK_TESTDATA_PAYLOAD_IMAGE_H_
