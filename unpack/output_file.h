// The one way the stub creates a file: a record that holds the file's path
// and handle and can have the file deleted when its last handle closes, so
// that a file that was not finished never survives.
#ifndef UNPACK_OUTPUT_FILE_H_
#define UNPACK_OUTPUT_FILE_H_

#include <windows.h>
#include <stdint.h>

#include "support/bounded_string.h"

namespace installer {

// Never closes itself: every user calls Close on every path out of the
// operation that opened it.
class OutputFile {
 public:
  OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file for writing, shared only for deletion. A file that
  // exists already is refused (ERROR_FILE_EXISTS), unless `replace` is
  // set, for a name that the caller itself has made before: then it is
  // truncated. On false the record is empty and the last error tells why.
  bool Open(const wchar_t* path, bool replace = false);
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  // A second handle to the open file, owned and closed by the caller;
  // INVALID_HANDLE_VALUE when none is held or duplication fails.
  HANDLE Duplicate() const;
  // The file disappears once this handle and every duplicate are closed.
  bool MarkDeleteOnClose();
  void Close();
  // MarkDeleteOnClose, then Close, with the thread's last error kept: a
  // file left unfinished by a failure goes, and the failure's error stays.
  void Abandon();
  const wchar_t* path() const { return path_.data(); }

 private:
  PathString path_;
  HANDLE handle_;
};

// Writes all `size` bytes at the file's position. A call that reports
// success for part of its buffer (a volume filling up) is followed by one
// for the rest, so that a failure carries the error of the call that failed;
// a call that makes no progress and reports no error fails with
// ERROR_WRITE_FAULT.
bool WriteWhole(HANDLE file, const void* data, DWORD size);

// Writes the block to a new file at the path. On false the last error holds
// the cause and no file is left at the path.
bool WriteBlockToFile(const void* data, uint64_t size, const wchar_t* path);

}  // namespace installer

#endif  // UNPACK_OUTPUT_FILE_H_
