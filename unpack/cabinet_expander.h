// Expansion of a cabinet-compressed file with the operating system's own
// cabinet library, loaded on first use and kept for the life of the process.
#ifndef UNPACK_CABINET_EXPANDER_H_
#define UNPACK_CABINET_EXPANDER_H_

#include <windows.h>

#include "support/held_file.h"
#include "support/run_outcome.h"

namespace installer {

// Expands the cabinet's file into a new file `destination_name` in the
// folder that `folder` holds (the work folder, where the cabinet lies too);
// the file's own name inside the cabinet is ignored, and of several files
// the last one stays. `cabinet_path` is the cabinet's full path, whose last
// name is the cabinet in `folder`, and `cabinet` the run's hold of it: the
// cabinet library reads that file and no other, whatever it asks to open.
// Succeeds exactly when that file was written whole (the size the cabinet
// announced, no failed write), the library finished the cabinet without
// error and the file is held for reading only in `expanded`. Any other
// ending is SetupNotUnpacked, and leaves no destination file behind but for
// one that was written whole and could not be held, which
// `expanded->identity` names (an existing file at the name is refused and
// stays as it was).
RunOutcome CabinetExpander(const wchar_t* cabinet_path,
                           const HeldFile& cabinet, HANDLE folder,
                           const wchar_t* destination_name,
                           HeldFile* expanded);

// For a crash handler: closes every handle that the expansion in progress
// holds, the cabinet library's among them, and has its destination file
// deleted with its last handle, so that both files can then be removed.
// Does nothing when no expansion is in progress; the expansion is not used
// again.
void AbandonCabinetExpansion();

}  // namespace installer

#endif  // UNPACK_CABINET_EXPANDER_H_
