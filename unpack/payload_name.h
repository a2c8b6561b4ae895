// Which payload item a resource name stands for, and the bookkeeping of one
// search over the payload resources. No Windows header here: the same rule
// serves the stub, the release tool and a host fuzz target.
#ifndef UNPACK_PAYLOAD_NAME_H_
#define UNPACK_PAYLOAD_NAME_H_

#include <stdint.h>

#include "support/bounded_string.h"

namespace installer {

enum class PayloadItemKind { kArchive, kSetup, kNeither };

// Matches the name's start against "korvel" (the archive) and then "setup"
// (the setup program), folding only A to Z. The name may go on after the
// prefix.
PayloadItemKind ClassifyPayloadName(const wchar_t* name);

// Whether `name` (terminated within 260 units) can be a file's name in the
// work folder and nothing else there: it holds no folder separator ("\\",
// "/"), no ":" (which would name a stream or a drive), no control character
// and none of the characters that Windows refuses in a name (< > " | ? *);
// it is not "." or "..", does not end in a dot or a space (which Windows
// drops, so that the file would be made under another name than the one
// given to setup), and is not a name that Windows takes for a device in any
// folder (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$,
// whatever the case and with any extension).
bool IsUsablePayloadFileName(const wchar_t* name);

// One payload item as found in the loaded image; size 0 means not found yet.
struct PayloadItem {
  const void* data = nullptr;
  uint64_t size = 0;
};

// The state of one search over all payload resource types. Only `error` is
// reset between types.
struct PayloadSearch {
  PathString archive_name;
  PayloadItem archive;
  PathString setup_name;
  PayloadItem setup;
  uint32_t error = 0;
};

// Takes one named resource with non-empty data into the search. Returns
// false, with `search->error` set to ERROR_INVALID_DATA (neither prefix),
// ERROR_TOO_MANY_NAMES (the item was already found),
// ERROR_FILENAME_EXCED_RANGE (the name does not fit 260 units) or
// ERROR_INVALID_NAME (a name that IsUsablePayloadFileName refuses), when the
// search of this type has to end; the search is otherwise left as it was.
bool RecordPayloadItem(const wchar_t* name, const void* data, uint64_t size,
                       PayloadSearch* search);

}  // namespace installer

#endif  // UNPACK_PAYLOAD_NAME_H_
