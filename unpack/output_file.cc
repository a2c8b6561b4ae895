#include "unpack/output_file.h"

namespace installer {

namespace {

// Large enough to write a payload quickly, small enough for one DWORD count.
constexpr uint64_t kWriteChunk = 0x800000;

}  // namespace

OutputFile::OutputFile() : handle_(INVALID_HANDLE_VALUE) {}

bool OutputFile::Open(const wchar_t* path, bool replace) {
  Close();
  if (!path_.Copy(path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  // DELETE is what MarkDeleteOnClose needs; nobody else may read or write
  // the file while it is being made. A new file is created as new: a file
  // found at the name is none of the run's, and nothing of the run's is
  // written into it. Opening with CREATE_ALWAYS would also truncate even a
  // file just made, and a file system may then write a truncated file back
  // the moment it is closed (ext4 does, under Wine).
  const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;
  handle_ = CreateFileW(path_.data(), GENERIC_WRITE | DELETE,
                        FILE_SHARE_DELETE, nullptr, CREATE_NEW, flags,
                        nullptr);
  if (handle_ == INVALID_HANDLE_VALUE && replace &&
      GetLastError() == ERROR_FILE_EXISTS) {
    handle_ = CreateFileW(path_.data(), GENERIC_WRITE | DELETE,
                          FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, flags,
                          nullptr);
  }
  if (handle_ == INVALID_HANDLE_VALUE) {
    path_.Clear();
    return false;
  }
  return true;
}

HANDLE OutputFile::Duplicate() const {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, handle_, process, &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}

bool OutputFile::MarkDeleteOnClose() {
  if (!IsOpen()) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

void OutputFile::Abandon() {
  const DWORD error = GetLastError();
  MarkDeleteOnClose();
  Close();
  SetLastError(error);
}

void OutputFile::Close() {
  if (IsOpen()) {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    CloseHandle(handle);
  }
  path_.Clear();
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

bool WriteBlockToFile(const void* data, uint64_t size, const wchar_t* path) {
  OutputFile file;
  if (!file.Open(path)) return false;
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
  file.Close();
  return true;
}

}  // namespace installer
