// Folders and paths for tests that work on real files under Wine.
#ifndef TESTING_TEST_PATHS_H_
#define TESTING_TEST_PATHS_H_

#include <string>

namespace testing_support {

// A new, empty folder under the prefix's temporary folder, ending in a
// backslash. The folder and everything in it is removed by the destructor.
class ScratchFolder {
 public:
  explicit ScratchFolder(const wchar_t* tag);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring Child(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

// The Windows form of a host path under Wine's Z: drive ("/a/b" -> "Z:\a\b"),
// for build outputs that CMake names by their host path.
std::wstring WindowsPathFromHost(const std::string& host_path);

// Whole-file helpers for test data.
std::string ReadWholeFile(const std::wstring& path);
void WriteWholeFile(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

}  // namespace testing_support

#endif  // TESTING_TEST_PATHS_H_
