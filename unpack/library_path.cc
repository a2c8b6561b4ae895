#include "unpack/library_path.h"

#include "support/bounded_string.h"

namespace installer {

bool IsAbsoluteLibraryPath(const wchar_t* path) {
  const wchar_t letter = FoldAsciiCase(path[0]);
  const bool drive = letter >= L'a' && letter <= L'z' && path[1] == L':' &&
                     path[2] == L'\\';
  const bool unc = path[0] == L'\\' && path[1] == L'\\';
  if (!drive && !unc) return false;
  for (const wchar_t* unit = path; *unit != 0; ++unit) {
    if (*unit == L'%') return false;
  }
  return true;
}

}  // namespace installer
