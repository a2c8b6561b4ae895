// Deletion of what the stub unpacked: one file, empty folder or link at a
// time, waiting out other processes that still hold it, at most 100 attempts
// 100 milliseconds apart. The attempt counts end up in the run's success
// record, so they are part of what a run reports.
#ifndef CLEANUP_REMOVE_WITH_RETRIES_H_
#define CLEANUP_REMOVE_WITH_RETRIES_H_

#include <stdint.h>
#include <windows.h>

#include "support/held_file.h"

namespace installer {

// True only when the path was found to be gone. `attempts` receives the
// number of attempts made, 1 to 100. A link is removed, never its target; a
// folder's contents are never removed. With `expected`, only the object
// that it names is touched: anything else found at the path is none of the
// run's, and is left as it is (false at once).
bool RemoveWithRetries(const wchar_t* path, int32_t* attempts,
                       const FileIdentity* expected = nullptr);

// Keeps the largest attempt count of a run.
void FoldAttemptCount(int32_t attempts, int32_t* max_delete_attempts);

// Removes the archive and the setup file, then the work folder, folding
// every attempt count into the run's maximum. The paths are 260-unit texts.
// Each object's hold, when given, is let go first, and the object is
// removed only when the run made it (its identity is known) and only if it
// is still that object: a path whose making failed, or that another file
// has taken, is left alone. Without holds, each path that is not empty is
// removed as it is found. The work folder's hold is let go only once the
// files are gone, right before the folder's own removal.
void RemoveUnpackedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                         const wchar_t* work_folder,
                         int32_t* max_delete_attempts,
                         HeldFile* archive = nullptr,
                         HeldFile* setup = nullptr,
                         HeldFile* folder = nullptr);

}  // namespace installer

#endif  // CLEANUP_REMOVE_WITH_RETRIES_H_
