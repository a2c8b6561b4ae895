// The unpack stage: the payload items written into the work folder, a
// cabinet-compressed setup program expanded into "setup.exe".
#ifndef UNPACK_UNPACK_PAYLOAD_H_
#define UNPACK_UNPACK_PAYLOAD_H_

#include <stdint.h>
#include <windows.h>

#include "support/bounded_string.h"
#include "support/held_file.h"
#include "support/run_outcome.h"
#include "unpack/image_file.h"

namespace installer {

// `work_folder` ends in a backslash; `folder` is the run's hold of it, in
// which every file is made, by name, relative to that handle. The paths and
// tags are passed in empty. `image`, when it is open, is the file `module`
// was mapped from: the payload is read from it through its buffer, or from
// the mapped pages when it is not open. It is closed before the cabinet is
// expanded.
// On success the archive path names the written archive and the setup path
// the program to run: "setup.exe" for a "BL" or "BN" setup program, the patch
// file for a "B7" one. Both files are held for reading only, in
// `archive_hold` and `setup_hold`. After a failed expansion the setup path
// still names "setup.exe". The compressed setup file's deletion raises
// `max_delete_attempts` when it needed more attempts. `expanded_hold` holds
// the expanded program only while the cabinet is being removed, so that a
// crash then can still tell it; it is empty when the stage returns.
// Whatever the outcome, each hold's identity names the file the stage made
// under that path, or is unknown when it made none.
RunOutcome UnpackPayload(HMODULE module, ImageFile* image,
                         const wchar_t* work_folder, HANDLE folder,
                         PathString* setup_path, TypeTagString* setup_type,
                         PathString* archive_path, TypeTagString* archive_type,
                         int32_t* max_delete_attempts, HeldFile* archive_hold,
                         HeldFile* setup_hold, HeldFile* expanded_hold);

}  // namespace installer

#endif  // UNPACK_UNPACK_PAYLOAD_H_
