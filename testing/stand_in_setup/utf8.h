// UTF-8 from UTF-16, for the stand-in's record, the test programs' reports
// and the tests that read them.
#ifndef TESTING_STAND_IN_SETUP_UTF8_H_
#define TESTING_STAND_IN_SETUP_UTF8_H_

#include <windows.h>

#include <string>

namespace testing_support {

inline std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                       static_cast<int>(text.size()), nullptr,
                                       0, nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      bytes.data(), size, nullptr, nullptr);
  return bytes;
}

// A test program's report is written whole or not at all; the test that
// reads it treats a missing report as the program's failure.
inline void WriteReport(const std::wstring& path, const std::string& report) {
  const HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  const bool whole =
      WriteFile(out, report.data(), static_cast<DWORD>(report.size()),
                &written, nullptr) &&
      written == report.size();
  CloseHandle(out);
  if (!whole) DeleteFileW(path.c_str());
}

}  // namespace testing_support

#endif  // TESTING_STAND_IN_SETUP_UTF8_H_
