#include "unpack/output_file.h"

namespace installer {

namespace {

// Large enough to write a payload quickly, small enough for one DWORD count.
constexpr uint64_t kWriteChunk = 0x800000;

}  // namespace

OutputFile::OutputFile() : folder_(nullptr) {}

bool OutputFile::Open(HANDLE folder, const wchar_t* name) {
  Close();
  if (!name_.Copy(name)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  // Nobody else may write, rename or delete the file while it is being
  // made; reading it is shared, so that the hold can be had before this
  // handle goes (HoldWrittenFile). No DELETE access of its own either: a
  // handle with it would have to be shared for deletion by that hold. A new
  // file is created as new, never through a link.
  handle_.Reset(CreateInFolder(folder, name_.data(),
                               GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ, FILE_CREATE,
                               FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY |
                                   FILE_OPEN_REPARSE_POINT));
  if (!handle_.IsValid()) {
    name_.Clear();
    return false;
  }
  folder_ = folder;
  return true;
}

bool OutputFile::Truncate() {
  if (!IsOpen()) return false;
  LARGE_INTEGER start = {};
  return SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN) &&
         SetEndOfFile(handle_.get());
}

bool OutputFile::Hold(HeldFile* held) {
  if (!IsOpen()) return false;
  const bool holding = HoldWrittenFile(&handle_, folder_, name_.data(), held);
  Close();
  return holding;
}

HANDLE OutputFile::Duplicate() const {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, handle_.get(), process, &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}

void OutputFile::Abandon() {
  if (!IsOpen()) return;
  // The failure's error, past the close and the removal.
  const LastErrorKeeper error;
  FileIdentity made;
  const bool known = ReadFileIdentity(handle_.get(), &made);
  handle_.Reset();
  // Through the held folder, and only if the name is still the file made.
  if (known) RemoveMadeFile(folder_, name_.data(), made);
  Close();
}

void OutputFile::Close() {
  handle_.Reset();
  folder_ = nullptr;
  name_.Clear();
}

bool WriteWhole(HANDLE file, const void* data, DWORD size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr)) return false;
    if (written == 0 || written > size) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes += written;
    size -= written;
  }
  return true;
}

bool WriteBlockToFile(const void* data, uint64_t size, HANDLE folder,
                      const wchar_t* name, HeldFile* held) {
  OutputFile file;
  if (!file.Open(folder, name)) return false;
  // Known from here on: a crash while it is written still finds it.
  if (held != nullptr) ReadFileIdentity(file.Handle(), &held->identity);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (uint64_t offset = 0; offset < size;) {
    const uint64_t left = size - offset;
    const DWORD chunk =
        static_cast<DWORD>(left < kWriteChunk ? left : kWriteChunk);
    if (!WriteWhole(file.Handle(), bytes + offset, chunk)) {
      file.Abandon();
      return false;
    }
    offset += chunk;
  }
  return held == nullptr || file.Hold(held);
}

}  // namespace installer
