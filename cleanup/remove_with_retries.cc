#include "cleanup/remove_with_retries.h"

#include <windows.h>

#include "support/bounded_string.h"
#include "support/unique_resource.h"

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

// The object at `path`, opened as itself; with `expected`, only when it is
// that object (else nothing, with ERROR_FILE_INVALID).
UniqueFileHandle OpenForRemoval(const wchar_t* path, DWORD access,
                                const FileIdentity* expected) {
  const DWORD identity_access =
      expected != nullptr ? FILE_READ_ATTRIBUTES : 0;
  UniqueFileHandle handle(CreateFileW(path, access | identity_access,
                                      kShareAll, nullptr, OPEN_EXISTING,
                                      kOpenFlags, nullptr));
  if (!handle.IsValid() || expected == nullptr) return handle;
  // Where the expected identity tells its volume, so must the one found.
  FileIdentity found;
  const bool read = expected->volume != 0
                        ? ReadFullIdentity(handle.get(), &found)
                        : ReadFileIdentity(handle.get(), &found);
  if (read && SameFile(found, *expected)) return handle;
  handle.Reset();
  SetLastError(ERROR_FILE_INVALID);
  return handle;
}

// True when the object was read-only and no longer is.
bool ClearReadOnly(const wchar_t* path, const FileIdentity* expected) {
  const UniqueFileHandle handle = OpenForRemoval(
      path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, expected);
  if (!handle.IsValid()) return false;
  FILE_BASIC_INFO basic;
  FillBytes(&basic, 0, sizeof(basic));
  if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic,
                                    sizeof(basic)) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  // Zero would mean "leave the attributes as they are".
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle.get(), FileBasicInfo, &basic,
                                    sizeof(basic)) != FALSE;
}

// What one attempt found at the path.
enum class AttemptResult {
  kGone,
  // Marked for deletion: it goes when its last handle closes.
  kMarked,
  // Its read-only bit was cleared, which may let the next open through.
  kReadOnlyCleared,
  // Held by someone else, not empty yet, or refused for now.
  kBusy,
  kFailed,
};

AttemptResult AttemptRemoval(const wchar_t* path,
                             const FileIdentity* expected) {
  DWORD error = ERROR_SUCCESS;
  {
    const UniqueFileHandle handle = OpenForRemoval(path, DELETE, expected);
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (handle.IsValid() &&
        SetFileInformationByHandle(handle.get(), FileDispositionInfo,
                                   &disposition, sizeof(disposition))) {
      return AttemptResult::kMarked;
    }
    // Read before the close can replace it.
    error = GetLastError();
  }
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return AttemptResult::kGone;
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_SHARING_VIOLATION:
      return AttemptResult::kBusy;
    case ERROR_ACCESS_DENIED:
      // Any refusal but a read-only bit (a deletion already pending while
      // someone else holds the object, say) is waited out like a sharing
      // violation.
      return ClearReadOnly(path, expected) ? AttemptResult::kReadOnlyCleared
                                           : AttemptResult::kBusy;
    default:
      return AttemptResult::kFailed;
  }
}

}  // namespace

bool RemoveWithRetries(const wchar_t* path, int32_t* attempts,
                       const FileIdentity* expected) {
  *attempts = 1;
  // The two ways back to a fresh open that do not count as an attempt are
  // each taken at most once per attempt. Something that keeps the object
  // alive (or the read-only bit set) would otherwise cycle for ever; taken a
  // second time, they wait and count like any other retry.
  bool reopened_after_mark = false;
  bool reopened_after_clear = false;
  for (;;) {
    switch (AttemptRemoval(path, expected)) {
      case AttemptResult::kGone:
        return true;
      case AttemptResult::kFailed:
        return false;
      case AttemptResult::kMarked:
        // The next open tells whether it has gone.
        if (!reopened_after_mark) {
          reopened_after_mark = true;
          continue;
        }
        break;
      case AttemptResult::kReadOnlyCleared:
        if (!reopened_after_clear) {
          reopened_after_clear = true;
          continue;
        }
        break;
      case AttemptResult::kBusy:
        break;
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
                         int32_t* max_delete_attempts, HeldFile* archive,
                         HeldFile* setup, HeldFile* folder) {
  // Files first: a folder goes only once it is empty. A hold is let go right
  // before its object's removal, which that hold would refuse; from then on
  // whatever takes the name is told apart by its identity.
  struct Removal {
    const wchar_t* path;
    HeldFile* held;
  } const removals[] = {{archive_path, archive},
                        {setup_path, setup},
                        {work_folder, folder}};
  for (const Removal& removal : removals) {
    if (removal.held != nullptr) removal.held->Release();
    const bool folder_itself = removal.path == work_folder;
    if (!folder_itself && BoundedLength(removal.path, kPathCapacity) == 0) {
      continue;
    }
    const FileIdentity* expected = nullptr;
    if (removal.held != nullptr) {
      // Nothing of the run's is there: it was never made.
      if (!removal.held->identity.known) continue;
      expected = &removal.held->identity;
    }
    int32_t attempts = 0;
    RemoveWithRetries(removal.path, &attempts, expected);
    FoldAttemptCount(attempts, max_delete_attempts);
  }
}

}  // namespace installer
