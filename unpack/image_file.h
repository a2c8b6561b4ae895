// The installer's own file, read for the payload instead of the pages that
// map it: a payload item is copied into its output file through one fixed
// buffer, so that the run's memory does not grow with the payload, and a
// read that fails is an error the run reports instead of a fault in a
// mapped page.
#ifndef UNPACK_IMAGE_FILE_H_
#define UNPACK_IMAGE_FILE_H_

#include <stdint.h>
#include <windows.h>

#include "support/held_file.h"
#include "support/unique_resource.h"

namespace installer {

class ImageFile {
 public:
  ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Opens the file at `path` for reading and takes the copy buffer, once the
  // system has confirmed that the file is the one `module` was mapped from
  // (as a program or as an image resource). False, with nothing held, when
  // any of that fails; the payload is then copied from the mapped pages,
  // which nobody can change.
  bool Open(HMODULE module, const wchar_t* path);
  bool IsOpen() const { return handle_.IsValid(); }
  void Close();

  // The file offset of `size` bytes that the module maps at `data`, as the
  // section table says where a section's bytes lie in the file. False when
  // the file is not open or the bytes lie outside the file's data.
  bool Locate(const void* data, uint64_t size, uint64_t* offset) const;
  // Reads `size` bytes (at most kCopyChunk) at `offset` into the buffer.
  // On false the last error says why; a file that ends first gives
  // ERROR_HANDLE_EOF.
  bool Read(uint64_t offset, DWORD size);
  const uint8_t* buffer() const { return buffer_.get(); }

  static constexpr DWORD kCopyChunk = 1 << 20;

 private:
  HMODULE module_;
  UniqueFileHandle handle_;
  UniqueVirtualMemory<uint8_t> buffer_;
};

// Writes the `size` bytes that `image`'s module maps at `data` to a new file
// `name` in the folder that `folder` holds, as WriteBlockToFile does, but
// read from the image file through its buffer when `image` locates them
// there and the first bytes read equal the mapped ones. A read that fails is
// the copy's failure, not a reason to touch the mapped pages, which would
// then fault in the same way. On false the last error is that of the
// failing read, write, create or hold; `held` as for WriteBlockToFile.
bool CopyImageBlockToFile(ImageFile* image, const void* data, uint64_t size,
                          HANDLE folder, const wchar_t* name,
                          HeldFile* held = nullptr);

}  // namespace installer

#endif  // UNPACK_IMAGE_FILE_H_
