// Where the installer lets the loader look for libraries.
#ifndef STUB_LIBRARY_SEARCH_H_
#define STUB_LIBRARY_SEARCH_H_

namespace installer {

// Limits every later library load of the process, the loader's own among
// them (a forwarded export, a library that a system library loads on
// demand), to the system folder. The installer runs from a Downloads folder,
// where a library saved beside it is the classic attack on installers.
// Where SetDefaultDllDirectories is missing (Vista and 7 without
// KB2533623), the current folder at least is taken out of the search.
void RestrictLibrarySearch();

}  // namespace installer

#endif  // STUB_LIBRARY_SEARCH_H_
