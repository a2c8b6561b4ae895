// Replaces one entry of the test binary's import address table for as long
// as the patch lives. Stub code linked into the binary calls the platform
// through that table, so this injects a fault that cannot be made for real
// (a failing CommandLineToArgvW, ten name collisions, a short write).
#ifndef TESTING_IMPORT_PATCH_H_
#define TESTING_IMPORT_PATCH_H_

#include <windows.h>

namespace testing_support {

class ImportPatch {
 public:
  // `dll` is matched without case ("kernel32.dll"); `function` exactly.
  ImportPatch(const char* dll, const char* function, void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  // False when the binary does not import the function from that DLL.
  bool applied() const { return slot_ != nullptr; }

  template <typename Function>
  Function original() const {
    return reinterpret_cast<Function>(original_);
  }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

// For a function that stub code looks up instead of importing: the test
// binary's GetProcAddress answers `function` with `replacement` for as long
// as the patch lives (one such patch at a time), and every other name as it
// would.
class LookupPatch {
 public:
  LookupPatch(const char* function, void* replacement);
  ~LookupPatch();
  LookupPatch(const LookupPatch&) = delete;
  LookupPatch& operator=(const LookupPatch&) = delete;

  bool applied() const { return patch_.applied(); }

 private:
  ImportPatch patch_;
};

}  // namespace testing_support

#endif  // TESTING_IMPORT_PATCH_H_
