// Finding the two payload items, the product archive and the setup program,
// among the resources of an image. The same search serves the stub on its own
// image and a release tool on an installer loaded as a data file.
#ifndef UNPACK_PAYLOAD_SEARCH_H_
#define UNPACK_PAYLOAD_SEARCH_H_

#include <windows.h>

#include "support/bounded_string.h"
#include "support/run_outcome.h"
#include "unpack/payload_name.h"

namespace installer {

// Searches the types "B7", "BL" and "BN", in that order, in `module` (also
// one loaded with LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)
// and fills `search`, which the caller passes in fresh. The tags, passed in
// empty, receive the type in which each item was first found. Fails with
// ArchiveNotUnpacked or SetupNotUnpacked (the choice follows whether the
// archive's type was known when the error arose) and the error that
// RecordPayloadItem set, the error with which reading the resource directory
// failed, or ERROR_FILE_NOT_FOUND for a missing item. Writes nothing to
// disk.
RunOutcome SearchPayload(HMODULE module, PayloadSearch* search,
                         TypeTagString* archive_type,
                         TypeTagString* setup_type);

}  // namespace installer

#endif  // UNPACK_PAYLOAD_SEARCH_H_
