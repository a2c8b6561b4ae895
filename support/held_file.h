// Files and folders that the run makes and holds through their handles, so
// that no name it uses can be made to mean another file: each is made
// relative to the handle of the folder that holds it, and told from every
// other file by its identity rather than by its path.
#ifndef SUPPORT_HELD_FILE_H_
#define SUPPORT_HELD_FILE_H_

#include <windows.h>
// After <windows.h>: NtCreateFile's dispositions and options.
#include <winternl.h>
#include <stdint.h>

#include "support/unique_resource.h"

namespace installer {

// What tells one file from every other: its file ID (the file system's
// 64-bit index of it) and, where it has been read, its volume's serial
// number. `known` is false until the ID has been read.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t id = 0;
  bool known = false;
};

// The file's ID alone, which is cheap to read: enough for files reached
// through the held work folder, which all lie on its volume. False, with
// the last error set and `identity` unknown, when the system cannot tell.
bool ReadFileIdentity(HANDLE file, FileIdentity* identity);

// The ID and, where the volume tells it, the volume's serial number, for
// an object reached by a path that could lead to another volume (the work
// folder itself, a program about to be started).
bool ReadFullIdentity(HANDLE file, FileIdentity* identity);

// True only when both are known and have the same ID, and the same volume
// where both tell it.
bool SameFile(const FileIdentity& left, const FileIdentity& right);

// Makes or opens `name` (one name, never a path) in the folder that `folder`
// is a handle of, with NtCreateFile and OBJECT_ATTRIBUTES.RootDirectory, so
// that the name is looked up in that very folder whatever has become of the
// path it was reached by. `disposition` and `options` are NtCreateFile's
// (FILE_CREATE, FILE_OPEN; FILE_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...);
// the handle is always synchronous, like one from CreateFileW. `descriptor`,
// when given, is the new object's security. INVALID_HANDLE_VALUE with the
// Windows error as the last error on failure; the caller's owner closes the
// handle.
HANDLE CreateInFolder(HANDLE folder, const wchar_t* name, DWORD access,
                      DWORD share, DWORD disposition, DWORD options,
                      PSECURITY_DESCRIPTOR descriptor = nullptr);

// A file of the run's held open, and its identity.
struct HeldFile {
  UniqueFileHandle handle;
  FileIdentity identity;

  bool IsHeld() const { return handle.IsValid(); }
  // Lets go of the file; its identity stays, so that its removal can tell
  // it from whatever may take its name afterwards.
  void Release() { handle.Reset(); }
};

// Turns `writer`, the handle through which the run made and wrote the file
// `name` in `folder` (with write access only, shared for reading at most),
// into a hold that shares reading only, and empties `writer`: from then on
// nobody may write, rename or delete the file, and programs may still read
// or run it. No moment of the change lets anyone rename the file: a bridge
// opened by the file's name in the held folder (and proven to be the file
// written) denies that from before the writer is closed until after the
// hold is open, and locks the file's bytes against writes meanwhile. False,
// with the last error set and nothing held, when the file cannot be held
// (a writer that got in while the bridge stood: ERROR_SHARING_VIOLATION) or
// another file has its name (ERROR_FILE_INVALID); `held->identity` names
// the file written either way, for its removal.
bool HoldWrittenFile(UniqueFileHandle* writer, HANDLE folder,
                     const wchar_t* name, HeldFile* held);

// Deletes the file `name` in `folder` when it is the one `identity` names:
// what the run made and could not finish. False when it is not, or cannot
// be deleted.
bool RemoveMadeFile(HANDLE folder, const wchar_t* name,
                    const FileIdentity& identity);

// Holds the file at `name` in `folder` that someone else made, shared for
// reading only, when it is a plain file and no link. False with the last
// error set otherwise.
bool HoldFoundFile(HANDLE folder, const wchar_t* name, HeldFile* held);

// Whether the object at `path` (opened as itself, never through a link) is
// the file that `held` holds, on the same volume. Opening it needs no right
// that a sharing mode could refuse.
bool PathNamesFile(const wchar_t* path, const HeldFile& held);

}  // namespace installer

#endif  // SUPPORT_HELD_FILE_H_
