// The one way the stub creates a file: a record that holds the file's name,
// the folder it is made in and its handle, and can have the file deleted
// when its last handle closes, so that a file that was not finished never
// survives.
#ifndef UNPACK_OUTPUT_FILE_H_
#define UNPACK_OUTPUT_FILE_H_

#include <windows.h>
#include <stdint.h>

#include "support/bounded_string.h"
#include "support/held_file.h"
#include "support/unique_resource.h"

namespace installer {

// Closes its file when it goes, finished or not: a file that must not
// survive unfinished is given up with Abandon first.
class OutputFile {
 public:
  OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file `name` (one name, never a path) in the folder that
  // `folder` holds, relative to that handle, so that no name can lead it
  // elsewhere; for writing, shared for reading only. A file that exists
  // already is refused (ERROR_FILE_EXISTS): a file found at the name is none
  // of the run's, and nothing of the run's is written into it. On false the
  // record is empty and the last error tells why.
  bool Open(HANDLE folder, const wchar_t* name);
  bool IsOpen() const { return handle_.IsValid(); }
  HANDLE Handle() const { return handle_.get(); }
  // Empties the open file, to be written again from its start, through the
  // handle held: never by opening its name again.
  bool Truncate();
  // A second handle to the open file, for the caller's owner to close;
  // INVALID_HANDLE_VALUE when none is held or duplication fails.
  HANDLE Duplicate() const;
  void Close();
  // Closes the file and deletes it, when its name in the held folder is
  // still that file, with the thread's last error kept: a file left
  // unfinished by a failure goes, and the failure's error stays. Every
  // duplicate must be closed first.
  void Abandon();
  // The finished file, held for reading only as HoldWrittenFile holds it;
  // the record is empty afterwards. No duplicate may be open.
  bool Hold(HeldFile* held);
  const wchar_t* name() const { return name_.data(); }

 private:
  HANDLE folder_;
  PathString name_;
  UniqueFileHandle handle_;
};

// Writes all `size` bytes at the file's position. A call that reports
// success for part of its buffer (a volume filling up) is followed by one
// for the rest, so that a failure carries the error of the call that failed;
// a call that makes no progress and reports no error fails with
// ERROR_WRITE_FAULT.
bool WriteWhole(HANDLE file, const void* data, DWORD size);

// Writes the block to a new file `name` in the folder that `folder` holds.
// On false the last error holds the cause; a file that could not be made or
// written whole is gone. `held`, when given, receives the finished file held
// for reading only (HoldWrittenFile); when that hold fails, its identity
// still names the file made, for its removal.
bool WriteBlockToFile(const void* data, uint64_t size, HANDLE folder,
                      const wchar_t* name, HeldFile* held = nullptr);

}  // namespace installer

#endif  // UNPACK_OUTPUT_FILE_H_
