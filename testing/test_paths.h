// Folders and paths for tests that work on real files under Wine.
#ifndef TESTING_TEST_PATHS_H_
#define TESTING_TEST_PATHS_H_

#include <string>

namespace testing_support {

// A new, empty folder ending in a backslash, below the folder that
// STUB_TEST_SCRATCH names (the test runner's) or else below the temporary
// folder. The folder and everything in it is removed by the destructor.
// Throws std::runtime_error, which fails the test that asked, when the
// folder cannot be made.
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

// A folder held open, as the run holds its work folder, for the stub's
// calls that make files relative to such a handle. Shared with everyone, so
// that a test may still do there what it needs; let go by the destructor.
class HeldFolder {
 public:
  explicit HeldFolder(const std::wstring& path);
  ~HeldFolder();
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  void* handle() const { return handle_; }

 private:
  void* handle_;
};

// A file that the build made for the tests: `relative` is its path below
// the build folder ("unpack/testdata/archive.7z"), and the file is looked
// for below the folder that STUB_TEST_ROOT names, which is the build folder
// under ctest and the bundle's folder when the bundle runs. No host path is
// compiled in, so the same binaries run from the build or from a copied
// bundle, under Wine or on Windows. Ends the program with a message when
// STUB_TEST_ROOT is not set.
std::wstring TestFile(const std::string& relative);

// The folder (ending in a backslash) of a small volume that runs full, from
// STUB_TEST_FULL_VOLUME; empty when none is set or nothing is mounted there
// (the folder holds no file named "mounted").
std::wstring FullVolumeFolder();

// True under Wine, whose behaviour differs from Windows' in known places:
// tests that prove a Windows-only behaviour assert it on Windows and skip
// under Wine, saying why.
bool UnderWine();

// Wine's version as Wine gives it ("8.0", "10.0"); empty on Windows. Wine 8
// and Wine 10 differ where a test depends on it (the token of the first
// process, the stack reserved for an exception handler).
std::string WineVersion();

// True when the test runs with an elevated token (an administrator whose
// rights are in force). Wine 8 gives every process one; Wine 10 gives its
// first process a limited token, as Windows gives an administrator under
// UAC, and elevates only a program whose manifest asks for it.
bool Elevated();

// True when the token's integrity level is high or above: what the
// installer counts as an elevated run, which starts no setup program that
// per-user values name. On Windows it goes with Elevated(); Wine 10 gives
// its limited token high integrity all the same.
bool HighIntegrity();

// Whole-file helpers for test data.
std::string ReadWholeFile(const std::wstring& path);
void WriteWholeFile(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

}  // namespace testing_support

#endif  // TESTING_TEST_PATHS_H_
