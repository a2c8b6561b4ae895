// Registry keys and raw values for tests that run against Wine's real
// registry. A test creates its keys in the native view, addressing the
// 32-bit view explicitly ("Software\Wow6432Node\...") where it must, so that
// it sees exactly where the code under test read or wrote.
#ifndef TESTING_REGISTRY_SCRATCH_H_
#define TESTING_REGISTRY_SCRATCH_H_

#include <windows.h>

#include <string>

namespace testing_support {

inline bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// A value's stored type and bytes exactly as the registry holds them.
struct RawValue {
  bool exists = false;
  DWORD type = REG_NONE;
  std::string bytes;
};

inline RawValue ReadRawValue(HKEY root, const std::wstring& path,
                             const wchar_t* name) {
  RawValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return value;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) ==
      ERROR_SUCCESS) {
    value.bytes.resize(size);
    if (RegQueryValueExW(key, name, nullptr, &value.type,
                         reinterpret_cast<BYTE*>(value.bytes.data()),
                         &size) == ERROR_SUCCESS) {
      value.exists = true;
      value.bytes.resize(size);
    }
  }
  RegCloseKey(key);
  return value;
}

// The bytes of a UTF-16 text, with or without its terminator.
inline std::string TextBytes(const std::wstring& text, bool terminated) {
  std::string bytes(reinterpret_cast<const char*>(text.data()),
                    text.size() * sizeof(wchar_t));
  if (terminated) bytes.append(sizeof(wchar_t), '\0');
  return bytes;
}

inline std::string NumberBytes(DWORD number) {
  return std::string(reinterpret_cast<const char*>(&number), sizeof(number));
}

// Creates root\path for one test. The destructor deletes the part of the
// path that did not exist before, with everything below it.
class ScratchKey {
 public:
  ScratchKey(HKEY root, const std::wstring& path) : root_(root) {
    for (size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
      const std::wstring prefix = path.substr(0, end);
      if (!KeyExists(root, prefix)) {
        created_ = prefix;
        break;
      }
      if (end == std::wstring::npos) break;
    }
    RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &key_, nullptr);
  }
  ~ScratchKey() {
    if (key_ != nullptr) RegCloseKey(key_);
    if (!created_.empty()) RegDeleteTreeW(root_, created_.c_str());
  }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  bool created() const { return key_ != nullptr; }

  // Stores exactly these bytes, so that tests can leave the terminator out.
  // The registry counts a text's terminator in by itself when the caller
  // left it out but the unit after the data is zero, so that unit is not.
  LSTATUS SetRaw(const wchar_t* name, DWORD type, const std::string& bytes) {
    const std::string padded = bytes + "\xFF\xFF\xFF\xFF";
    return RegSetValueExW(key_, name, 0, type,
                          reinterpret_cast<const BYTE*>(padded.data()),
                          static_cast<DWORD>(bytes.size()));
  }

 private:
  HKEY root_;
  HKEY key_ = nullptr;
  std::wstring created_;
};

}  // namespace testing_support

#endif  // TESTING_REGISTRY_SCRATCH_H_
