// Expansion of a cabinet-compressed file with the operating system's own
// cabinet library, loaded on first use and kept for the life of the process.
#ifndef UNPACK_CABINET_EXPANDER_H_
#define UNPACK_CABINET_EXPANDER_H_

namespace installer {

// Expands the cabinet's file into `destination_path` (a 260-unit text); the
// file's own name inside the cabinet is ignored, and of several files the
// last one stays. True exactly when that file was written whole (the size
// the cabinet announced, no failed write) and the library finished the
// cabinet without error; on false no destination file is left behind (an
// existing one that could not be replaced stays as it was).
bool CabinetExpander(const wchar_t* cabinet_path,
                     const wchar_t* destination_path);

// For a crash handler: closes every handle that the expansion in progress
// holds, the cabinet library's among them, and has its destination file
// deleted with its last handle, so that both files can then be removed.
// Does nothing when no expansion is in progress; the expansion is not used
// again.
void AbandonCabinetExpansion();

}  // namespace installer

#endif  // UNPACK_CABINET_EXPANDER_H_
