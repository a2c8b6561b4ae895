#include "unpack/library_path.h"

#include <gtest/gtest.h>

#include <string>

namespace installer {
namespace {

TEST(IsAbsoluteLibraryPathTest, OnlyPathsThatNameOnePlace) {
  struct Case {
    const wchar_t* path;
    bool absolute;
  } const cases[] = {
      {L"C:\\Windows\\system32\\cabinet.dll", true},
      {L"z:\\windows\\system32\\cabinet.dll", true},
      {L"\\\\server\\share\\system32\\cabinet.dll", true},
      // An unset variable stays as it was written.
      {L"%WINDIR%\\system32\\cabinet.dll", false},
      {L"C:\\%WINDIR%\\system32\\cabinet.dll", false},
      // Relative to the current folder of a drive, or to the current drive.
      {L"C:system32\\cabinet.dll", false},
      {L"\\Windows\\system32\\cabinet.dll", false},
      {L"system32\\cabinet.dll", false},
      {L"1:\\cabinet.dll", false},
      {L"C:", false},
      {L"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsAbsoluteLibraryPath(c.path), c.absolute)
        << testing::PrintToString(std::wstring(c.path));
  }
}

}  // namespace
}  // namespace installer
