// The installer's own pages, kept from needing the installer file again.
// Windows maps an image's pages from its file and reads them from there
// again whenever they have left memory: after the working set is trimmed,
// say, while setup runs. An installer on a USB stick or a share that is
// gone by then would fault on its own code when setup returns, and neither
// report nor clean up.
//
// The pages are locked in memory: Windows documents that access to a
// locked region "will not incur a page fault", and locked pages stay
// resident through a trim of the working set. They stay exactly as the
// loader mapped them, shared with the file and unmodified, which is what
// memory scanners expect of an image. Where they cannot be locked (the
// process's quota of locked pages, a system that refuses), each page is
// written once through copy-on-write instead: it becomes the process's own,
// backed by the paging file, without copying the payload; scanners then
// see private pages in an image, which they may report as modified code.
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
