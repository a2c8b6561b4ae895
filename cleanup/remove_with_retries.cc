#include "cleanup/remove_with_retries.h"

#include <windows.h>

#include "support/bounded_string.h"

namespace installer {

namespace {

constexpr int32_t kMaxAttempts = 100;
constexpr DWORD kRetryWaitMilliseconds = 100;
constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Backup semantics open folders too; the reparse-point flag makes a link the
// object that is deleted, never its target.
constexpr DWORD kOpenFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

HANDLE OpenForRemoval(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING,
                     kOpenFlags, nullptr);
}

// True when the object was read-only and no longer is.
bool ClearReadOnly(const wchar_t* path) {
  const HANDLE handle =
      OpenForRemoval(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO basic;
  FillBytes(&basic, 0, sizeof(basic));
  bool cleared = false;
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                   sizeof(basic)) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // Zero would mean "leave the attributes as they are".
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    cleared = SetFileInformationByHandle(handle, FileBasicInfo, &basic,
                                         sizeof(basic)) != FALSE;
  }
  CloseHandle(handle);
  return cleared;
}

}  // namespace

bool RemoveWithRetries(const wchar_t* path, int32_t* attempts) {
  *attempts = 1;
  // The two ways back to a fresh open that do not count as an attempt are
  // each taken at most once per attempt. Something that keeps the object
  // alive (or the read-only bit set) would otherwise cycle for ever; taken a
  // second time, they wait and count like any other retry.
  bool reopened_after_mark = false;
  bool reopened_after_clear = false;
  for (;;) {
    bool retry = false;
    DWORD error = ERROR_SUCCESS;
    const HANDLE handle = OpenForRemoval(path, DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else {
      FILE_DISPOSITION_INFO disposition = {TRUE};
      if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                     sizeof(disposition))) {
        // The object goes when its last handle closes; the next open tells
        // whether it has.
        CloseHandle(handle);
        if (!reopened_after_mark) {
          reopened_after_mark = true;
          continue;
        }
        retry = true;
      } else {
        // Read before the close can replace it.
        error = GetLastError();
        CloseHandle(handle);
      }
    }

    if (!retry) {
      switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
          return true;
        case ERROR_DIR_NOT_EMPTY:
        case ERROR_SHARING_VIOLATION:
          break;
        case ERROR_ACCESS_DENIED:
          // A cleared read-only bit may let the next open through. Any other
          // refusal (a deletion already pending while someone else holds the
          // object, say) is waited out like a sharing violation.
          if (ClearReadOnly(path) && !reopened_after_clear) {
            reopened_after_clear = true;
            continue;
          }
          break;
        default:
          return false;
      }
    }

    if (*attempts >= kMaxAttempts) return false;
    ++*attempts;
    Sleep(kRetryWaitMilliseconds);
    reopened_after_mark = false;
    reopened_after_clear = false;
  }
}

void FoldAttemptCount(int32_t attempts, int32_t* max_delete_attempts) {
  if (attempts > *max_delete_attempts) *max_delete_attempts = attempts;
}

void RemoveUnpackedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                         const wchar_t* work_folder,
                         int32_t* max_delete_attempts, HANDLE* held_folder) {
  // Files first: a folder goes only once it is empty.
  int32_t attempts = 0;
  if (BoundedLength(archive_path, kPathCapacity) != 0) {
    attempts = 0;
    RemoveWithRetries(archive_path, &attempts);
    FoldAttemptCount(attempts, max_delete_attempts);
  }
  if (BoundedLength(setup_path, kPathCapacity) != 0) {
    attempts = 0;
    RemoveWithRetries(setup_path, &attempts);
    FoldAttemptCount(attempts, max_delete_attempts);
  }
  // Up to here nobody could have put a link where the folder was. From here
  // on one could, but the removal opens a link as itself and removes only
  // that, and the folder holds nothing of the run's any more.
  if (held_folder != nullptr && *held_folder != INVALID_HANDLE_VALUE) {
    const HANDLE handle = *held_folder;
    *held_folder = INVALID_HANDLE_VALUE;
    CloseHandle(handle);
  }
  attempts = 0;
  RemoveWithRetries(work_folder, &attempts);
  FoldAttemptCount(attempts, max_delete_attempts);
}

}  // namespace installer
