// The unpack stage: the payload items written into the work folder, a
// cabinet-compressed setup program expanded into "setup.exe".
#ifndef UNPACK_UNPACK_PAYLOAD_H_
#define UNPACK_UNPACK_PAYLOAD_H_

#include <stdint.h>
#include <windows.h>

#include "stub/run_outcome.h"
#include "support/bounded_string.h"
#include "unpack/image_file.h"

namespace installer {

// `work_folder` ends in a backslash. The paths and tags are passed in empty.
// `image`, when it is open, is the file `module` was mapped from: the payload
// is read from it through its buffer, or from the mapped pages when it is
// null or not open. It is closed before the cabinet is expanded.
// On success the archive path names the written archive and the setup path
// the program to run: "setup.exe" for a "BL" or "BN" setup program, the patch
// file for a "B7" one. After a failed expansion the setup path still names
// "setup.exe". The compressed setup file's deletion raises
// `max_delete_attempts` when it needed more attempts.
RunOutcome UnpackPayload(HMODULE module, ImageFile* image,
                         const wchar_t* work_folder,
                         PathString* setup_path, TypeTagString* setup_type,
                         PathString* archive_path, TypeTagString* archive_type,
                         int32_t* max_delete_attempts);

}  // namespace installer

#endif  // UNPACK_UNPACK_PAYLOAD_H_
