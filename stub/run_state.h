// What one run keeps between its stages: the paths it builds and the files
// it unpacks, the type tags of the payload, the removal attempts. It lives
// in RunInstaller's own frame; nothing of it is allocated.
#ifndef STUB_RUN_STATE_H_
#define STUB_RUN_STATE_H_

#include <stdint.h>

#include "support/bounded_string.h"
#include "unpack/image_file.h"

namespace installer {

struct RunState {
  // The installer's own file, opened as the run begins and let go once the
  // payload is copied.
  ImageFile image;
  PathString module_path;
  PathString module_folder;
  PathString work_folder;
  // Keeps the work folder where it is from its creation to its removal.
  HANDLE work_folder_handle = INVALID_HANDLE_VALUE;
  PathString setup_path;
  PathString archive_path;
  PathString new_setup_path;
  TypeTagString setup_type;
  TypeTagString archive_type;
  int32_t max_delete_attempts = 0;
  // The work folder exists: from here on a failure is recorded.
  bool work_folder_made = false;
  bool succeeded = false;
};

}  // namespace installer

#endif  // STUB_RUN_STATE_H_
