#include "unpack/image_file.h"

#include "unpack/output_file.h"

namespace installer {

namespace {

// Enough to catch a wrong offset; the mapped page it touches is one of the
// payload's first.
constexpr DWORD kCheckedBytes = 4096;

// A module handle's low bits say how the loader mapped it: 1 a data file
// mapped flat, as the file lies (never proven to be the image's file, so
// never read from here); 2 (or 0) an image, section by section.
constexpr uintptr_t kDataFileBit = 1;
constexpr uintptr_t kImageResourceBit = 2;

// ntdll's own answer to "were these two views mapped from one file?", the
// first an image, the second a data view. Looked up at run time: the stub
// links no ntdll import, and a system without the export leaves the payload
// to the mapped pages.
using AreMappedFilesTheSameFunction = LONG(NTAPI*)(PVOID image_view,
                                                   PVOID file_view);

// Whether `file` holds the very bytes that the loader mapped at `base`. A
// file found again by its path proves nothing: a running program may be
// renamed, and another file put at its name, by anyone who may rename files
// in its folder. The system compares the file objects behind both views,
// whatever their names now are.
bool MapsTheSameFile(const void* base, HANDLE file) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  const auto same = reinterpret_cast<AreMappedFilesTheSameFunction>(
      reinterpret_cast<void*>(
          GetProcAddress(ntdll, "NtAreMappedFilesTheSame")));
  if (same == nullptr) return false;
  const UniqueHandle mapping(
      CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.IsValid()) return false;
  // One page is enough to name the file; the view is gone before any byte
  // is copied.
  const UniqueMappedView view(
      MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 1));
  return view.IsValid() && same(const_cast<void*>(base), view.get()) == 0;
}

bool SameBytes(const uint8_t* left, const uint8_t* right, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (left[i] != right[i]) return false;
  }
  return true;
}

}  // namespace

ImageFile::ImageFile() : module_(nullptr) {}

bool ImageFile::Open(HMODULE module, const wchar_t* path) {
  Close();
  if (module == nullptr || path == nullptr) return false;
  // Shared for reading only: from here on nobody may write, rename or
  // delete the file until the copy is done.
  handle_.Reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                            nullptr));
  if (!handle_.IsValid()) return false;
  // Whatever lay at the path before it was opened may not be the file the
  // module was mapped from; only a file proven to be that one is read.
  const uintptr_t base = reinterpret_cast<uintptr_t>(module) &
                         ~(kDataFileBit | kImageResourceBit);
  if (!MapsTheSameFile(reinterpret_cast<const void*>(base), handle_.get())) {
    Close();
    return false;
  }
  buffer_.Reset(static_cast<uint8_t*>(VirtualAlloc(
      nullptr, kCopyChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)));
  if (!buffer_.IsValid()) {
    Close();
    return false;
  }
  module_ = module;
  return true;
}

void ImageFile::Close() {
  buffer_.Reset();
  handle_.Reset();
  module_ = nullptr;
}

bool ImageFile::Locate(const void* data, uint64_t size,
                       uint64_t* offset) const {
  if (!IsOpen()) return false;
  const uintptr_t handle = reinterpret_cast<uintptr_t>(module_);
  const uint8_t* base = reinterpret_cast<const uint8_t*>(
      handle & ~(kDataFileBit | kImageResourceBit));
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (bytes < base) return false;
  const uint64_t position = static_cast<uint64_t>(bytes - base);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    const uint64_t start = section->VirtualAddress;
    if (position >= start &&
        position + size <= start + section->SizeOfRawData) {
      *offset = section->PointerToRawData + (position - start);
      return true;
    }
  }
  return false;
}

bool ImageFile::Read(uint64_t offset, DWORD size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  // On a handle opened without FILE_FLAG_OVERLAPPED the read starts at the
  // given offset and returns once it is complete.
  if (!ReadFile(handle_.get(), buffer_.get(), size, &read, &at)) return false;
  if (read != size) {
    SetLastError(ERROR_HANDLE_EOF);
    return false;
  }
  return true;
}

bool CopyImageBlockToFile(ImageFile* image, const void* data, uint64_t size,
                          HANDLE folder, const wchar_t* name, HeldFile* held) {
  uint64_t offset = 0;
  if (size == 0 || !image->Locate(data, size, &offset)) {
    return WriteBlockToFile(data, size, folder, name, held);
  }
  const DWORD first = static_cast<DWORD>(
      size < ImageFile::kCopyChunk ? size : ImageFile::kCopyChunk);
  if (!image->Read(offset, first)) return false;
  // A layout this code does not know would show here, before anything is
  // written.
  const DWORD checked = first < kCheckedBytes ? first : kCheckedBytes;
  if (!SameBytes(image->buffer(), static_cast<const uint8_t*>(data),
                 checked)) {
    return WriteBlockToFile(data, size, folder, name, held);
  }
  OutputFile file;
  if (!file.Open(folder, name)) return false;
  // Known from here on: a crash while it is written still finds it.
  if (held != nullptr) ReadFileIdentity(file.Handle(), &held->identity);
  for (uint64_t done = 0; done < size;) {
    const uint64_t left = size - done;
    const DWORD chunk = static_cast<DWORD>(
        left < ImageFile::kCopyChunk ? left : ImageFile::kCopyChunk);
    if ((done > 0 && !image->Read(offset + done, chunk)) ||
        !WriteWhole(file.Handle(), image->buffer(), chunk)) {
      file.Abandon();
      return false;
    }
    done += chunk;
  }
  return held == nullptr || file.Hold(held);
}

}  // namespace installer
