// The system's random-number generator, as the stub reaches it.
#ifndef SUPPORT_RANDOM_BYTES_H_
#define SUPPORT_RANDOM_BYTES_H_

#include <stdint.h>

namespace installer {

// Fills `size` bytes from RtlGenRandom. False, with the buffer left as it
// was, when the function cannot be found or fails.
bool FillRandomBytes(void* buffer, uint32_t size);

}  // namespace installer

#endif  // SUPPORT_RANDOM_BYTES_H_
