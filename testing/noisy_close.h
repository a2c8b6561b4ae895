// Patches CloseHandle with a close that succeeds but disturbs the last
// error, as a close may: proves that an error is saved before a cleanup
// close and restored after it.
#ifndef TESTING_NOISY_CLOSE_H_
#define TESTING_NOISY_CLOSE_H_

#include <windows.h>

#include "testing/import_patch.h"

namespace testing_support {

class NoisyClose {
 public:
  NoisyClose()
      : patch_("kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&Close)) {
    original_ = patch_.original<decltype(&CloseHandle)>();
  }
  bool applied() const { return patch_.applied(); }

 private:
  static BOOL WINAPI Close(HANDLE handle) {
    const BOOL closed = original_(handle);
    SetLastError(ERROR_INVALID_HANDLE);
    return closed;
  }
  static inline decltype(&CloseHandle) original_ = nullptr;
  ImportPatch patch_;
};

}  // namespace testing_support

#endif  // TESTING_NOISY_CLOSE_H_
