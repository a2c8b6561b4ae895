#include "launch/setup_command_line.h"

#include <stdint.h>

#include "support/bounded_string.h"

namespace installer {

bool BuildInstallCommandLine(const wchar_t* setup_path,
                             const wchar_t* archive_path,
                             bool archive_compressed,
                             const wchar_t* previous_version,
                             CommandLineString* line) {
  if (!line->Copy(L"\"") || !line->Append(setup_path) || !line->Append(L"\"")) {
    return false;
  }
  if (!line->Append(L" --") ||
      !line->Append(archive_compressed ? L"install-archive"
                                       : L"uncompressed-archive") ||
      !line->Append(L"=\"") || !line->Append(archive_path) ||
      !line->Append(L"\"")) {
    return false;
  }
  if (previous_version == nullptr) return true;
  return line->Append(L" --") && line->Append(L"previous-version") &&
         line->Append(L"=\"") && line->Append(previous_version) &&
         line->Append(L"\"");
}

void AppendReferralSwitch(const wchar_t* code, CommandLineString* line) {
  // Independent on purpose: the switch is best effort, and a piece that does
  // not fit must not take the ones after it along.
  line->Append(L" --telvo-referral-code");
  line->Append(L"=\"");
  line->Append(code);
  line->Append(L"\"");
}

bool BuildSelfUpdateCommandLine(const wchar_t* installed_setup_path,
                                const wchar_t* patch_path,
                                const wchar_t* new_setup_path,
                                CommandLineString* line) {
  line->Clear();
  // Each closing quote of a path opens the next piece.
  return line->Append(L"\"") && line->Append(installed_setup_path) &&
         line->Append(L"\" --") && line->Append(L"update-setup-exe") &&
         line->Append(L"=\"") && line->Append(patch_path) &&
         line->Append(L"\" --") && line->Append(L"new-setup-exe") &&
         line->Append(L"=\"") && line->Append(new_setup_path) &&
         line->Append(L"\"");
}

void UnquoteInstalledSetupPath(wchar_t* buffer, uint64_t capacity) {
  if (capacity == 0 || buffer[0] != L'"') return;
  const uint64_t length = BoundedLength(buffer, capacity);
  if (length < 2 || buffer[length - 1] != L'"') return;
  // The copy runs front to back, so a source one unit inside the buffer
  // shifts the text left over itself.
  BoundedCopy(buffer, capacity, buffer + 1);
  buffer[length - 2] = 0;
}

}  // namespace installer
