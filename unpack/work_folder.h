// The private folder beside the stub's executable into which one run unpacks
// its payload: "KV_" + five random hexadecimal digits + ".tmp", protected on
// volumes that keep ACLs so that only administrators, the system account and
// the token's owner may use it.
#ifndef UNPACK_WORK_FOLDER_H_
#define UNPACK_WORK_FOLDER_H_

#include <windows.h>

#include "support/bounded_string.h"
#include "support/held_file.h"
#include "support/unique_resource.h"
#include "support/run_outcome.h"

namespace installer {

// `executable_folder` ends in a backslash. On success the folder exists and
// `work_folder` holds its path with a trailing backslash. Fails with
// PathTooLong, WorkFolderNotCreated (ten names drawn, none made) or
// FolderSecurityFailed (with the error of the call that failed). A folder
// path that Windows would not create with CreateDirectoryW (more than
// kLongestWorkFolderPath characters) is PathTooLong at once. The folder is
// made and held in one call, relative to a handle of `executable_folder`,
// shared for reading and writing but not for deletion: for as long as it is
// held nobody can rename it, nor put a link or junction at its path, so
// every name made in it stays inside it. `held` receives that handle and the
// folder's identity (nothing on failure; without `held` the folder is let
// go at once). A name that exists, whatever it is, counts as a failed
// attempt.
RunOutcome CreateWorkFolder(const wchar_t* executable_folder,
                            PathString* work_folder, HeldFile* held = nullptr);

// `descriptor` stays empty when the volume keeps no ACLs (or cannot tell).
// An elevated run's descriptor also labels the folder high integrity, no
// write up, inherited by all it holds. False means the descriptor was wanted
// but cannot be built; the last error says why.
bool BuildFolderSecurity(const wchar_t* executable_folder,
                         UniqueLocalMemory<void>* descriptor);

// The process token's default owner for new objects as SID text.
bool GetOwnerSidString(UniqueLocalMemory<wchar_t>* sid);

}  // namespace installer

#endif  // UNPACK_WORK_FOLDER_H_
