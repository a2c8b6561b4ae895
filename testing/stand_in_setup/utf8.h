// UTF-8 from UTF-16, for the stand-in's record and the tests that read it.
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

}  // namespace testing_support

#endif  // TESTING_STAND_IN_SETUP_UTF8_H_
