// How a text value read from the registry becomes a terminated text. The
// registry keeps whatever bytes a writer stored: a REG_SZ value may lack its
// terminator or have an odd size, so the reader terminates it itself and
// refuses a text that would have to be cut short.
//
// No Windows header here: the same rule is fuzzed in a native build.
#ifndef SUPPORT_REGISTRY_TEXT_H_
#define SUPPORT_REGISTRY_TEXT_H_

#include <stdint.h>

namespace installer {

// `buffer` holds `capacity` units, of which the registry filled
// `returned_bytes` bytes. True when the buffer now holds a terminated text
// (an empty one for fewer than 2 bytes); false when the text and its
// terminator do not fit, including any size beyond the buffer.
bool TerminateRegistryText(wchar_t* buffer, uint64_t capacity,
                           uint32_t returned_bytes);

}  // namespace installer

#endif  // SUPPORT_REGISTRY_TEXT_H_
