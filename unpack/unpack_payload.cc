#include "unpack/unpack_payload.h"

#include "cleanup/remove_with_retries.h"
#include "support/installer_contract.h"
#include "unpack/cabinet_expander.h"
#include "unpack/image_file.h"
#include "unpack/output_file.h"
#include "unpack/payload_search.h"

namespace installer {

RunOutcome UnpackPayload(HMODULE module, ImageFile* image,
                         const wchar_t* work_folder, HANDLE folder,
                         PathString* setup_path, TypeTagString* setup_type,
                         PathString* archive_path, TypeTagString* archive_type,
                         int32_t* max_delete_attempts, HeldFile* archive_hold,
                         HeldFile* setup_hold, HeldFile* expanded_hold) {
  PayloadSearch search;
  const RunOutcome found =
      SearchPayload(module, &search, archive_type, setup_type);
  if (!found.Succeeded()) return found;

  if (!JoinPath(work_folder, search.archive_name.data(), archive_path)) {
    return MakeOutcome(ExitCode::PathTooLong);
  }
  if (!CopyImageBlockToFile(image, search.archive.data, search.archive.size,
                            folder, search.archive_name.data(),
                            archive_hold)) {
    return MakeOutcome(ExitCode::ArchiveNotUnpacked, GetLastError());
  }

  // An uncompressed setup program always runs as "setup.exe"; a patch or a
  // cabinet keeps its resource name.
  const bool uncompressed = lstrcmpW(setup_type->data(), kPlainType) == 0;
  const wchar_t* setup_name =
      uncompressed ? kSetupProgramName : search.setup_name.data();
  if (!JoinPath(work_folder, setup_name, setup_path)) {
    return MakeOutcome(ExitCode::PathTooLong);
  }
  if (!CopyImageBlockToFile(image, search.setup.data, search.setup.size,
                            folder, setup_name, setup_hold)) {
    return MakeOutcome(ExitCode::SetupNotWritten, GetLastError());
  }
  // The installer file is let go before the cabinet library gets to work.
  image->Close();
  if (lstrcmpW(setup_type->data(), kCabinetType) != 0) return kSuccessOutcome;

  PathString expanded_path;
  if (!JoinPath(work_folder, kSetupProgramName, &expanded_path)) {
    return MakeOutcome(ExitCode::PathTooLong);
  }
  const RunOutcome expanded =
      CabinetExpander(setup_path->data(), *setup_hold, folder,
                      kSetupProgramName, expanded_hold);
  // The cabinet has served its purpose either way.
  setup_hold->Release();
  int32_t attempts = 0;
  RemoveWithRetries(setup_path->data(), &attempts, &setup_hold->identity);
  FoldAttemptCount(attempts, max_delete_attempts);
  setup_path->Copy(expanded_path.data());
  *setup_hold = Move(*expanded_hold);
  *expanded_hold = HeldFile();
  return expanded;
}

}  // namespace installer
