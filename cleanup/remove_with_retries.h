// Deletion of what the stub unpacked: one file, empty folder or link at a
// time, waiting out other processes that still hold it, at most 100 attempts
// 100 milliseconds apart. The attempt counts end up in the run's success
// record, so they are part of what a run reports.
#ifndef CLEANUP_REMOVE_WITH_RETRIES_H_
#define CLEANUP_REMOVE_WITH_RETRIES_H_

#include <stdint.h>
#include <windows.h>

namespace installer {

// True only when the path was found to be gone. `attempts` receives the
// number of attempts made, 1 to 100. A link is removed, never its target; a
// folder's contents are never removed.
bool RemoveWithRetries(const wchar_t* path, int32_t* attempts);

// Keeps the largest attempt count of a run.
void FoldAttemptCount(int32_t attempts, int32_t* max_delete_attempts);

// Removes the archive and the setup file (each only when its path is not
// empty), then the work folder, folding every attempt count into the run's
// maximum. The paths are 260-unit texts. `held_folder`, when given and
// valid, is the handle that keeps the work folder from being renamed: it
// is closed, and set invalid, only once the files are gone, right before
// the folder's own removal, which that handle would refuse.
void RemoveUnpackedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                         const wchar_t* work_folder,
                         int32_t* max_delete_attempts,
                         HANDLE* held_folder = nullptr);

}  // namespace installer

#endif  // CLEANUP_REMOVE_WITH_RETRIES_H_
