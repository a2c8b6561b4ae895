// What one run keeps between its stages: the paths it builds and the files
// it unpacks, the type tags of the payload, the removal attempts. It lives
// in RunInstaller's own frame; nothing of it is allocated. What it still
// holds as it goes is let go then; a crash ending, which runs no
// destructor, lets go of it itself.
#ifndef STUB_RUN_STATE_H_
#define STUB_RUN_STATE_H_

#include <stdint.h>

#include "support/bounded_string.h"
#include "support/held_file.h"
#include "unpack/image_file.h"

namespace installer {

struct RunState {
  // The installer's own file, opened as the run begins and let go once
  // unpacking has ended, whatever its outcome.
  ImageFile image;
  // The installer file's folder, with its trailing backslash.
  PathString module_folder;
  PathString work_folder;
  // Keeps the work folder where it is from its creation to its removal.
  HeldFile work_folder_hold;
  PathString setup_path;
  PathString archive_path;
  // The files the run made there, held shared for reading only until setup
  // has ended. Each identity stays known after its hold is let go, so that
  // the file is removed only while it is still the run's.
  HeldFile archive_hold;
  HeldFile setup_hold;
  // The expanded setup program while the cabinet it came from is removed.
  HeldFile expanded_hold;
  TypeTagString setup_type;
  TypeTagString archive_type;
  int32_t max_delete_attempts = 0;
  // The work folder exists: from here on a failure is recorded.
  bool work_folder_made = false;
};

}  // namespace installer

#endif  // STUB_RUN_STATE_H_
