// Which expanded library path the stub may hand to the loader. No Windows
// header here: the rule is pure text.
#ifndef UNPACK_LIBRARY_PATH_H_
#define UNPACK_LIBRARY_PATH_H_

namespace installer {

// True for a path that names one place whatever the current folder: a drive
// letter followed by ":\", or "\\" (a UNC or device path), with no "%" left
// by an expansion that found no variable. A relative path would be searched
// for beside the installer, where anyone who can save a download can put a
// library.
bool IsAbsoluteLibraryPath(const wchar_t* path);

}  // namespace installer

#endif  // UNPACK_LIBRARY_PATH_H_
