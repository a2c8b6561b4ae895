// The installer's own pages, taken out of the installer file. Windows maps
// an image's pages from its file and reads them from there again whenever
// they have left memory: after the working set is trimmed, say, while setup
// runs. An installer on a USB stick or a share that is gone by then would
// fault on its own code when setup returns, and neither report nor clean
// up. A page written once through copy-on-write becomes the process's own
// and is backed by the paging file instead, without copying the payload.
#ifndef STUB_IMAGE_PAGES_H_
#define STUB_IMAGE_PAGES_H_

#include <windows.h>
#include <stdint.h>

namespace installer {

// Every page that a run needs of the image at `module`: its headers (which
// exception dispatch reads), code, constants, data, function table and
// import table; not the resources, which hold the payload, nor the sections
// that are discarded after loading. Best effort.
void DetachImageFromFile(HMODULE module);

// The same for the pages that hold [start, start + size), within one
// section of the image; a text in the resources, say.
void DetachRangeFromFile(const void* start, uint64_t size);

}  // namespace installer

#endif  // STUB_IMAGE_PAGES_H_
