// The command lines the stub gives the product's setup program: the install
// line with the unpacked archive, and the self-update line that has the
// installed setup program build a new one from a patch. Nothing is escaped
// or re-quoted; every piece is copied as it stands.
//
// Pure text code: no Windows header.
#ifndef LAUNCH_SETUP_COMMAND_LINE_H_
#define LAUNCH_SETUP_COMMAND_LINE_H_

#include <stdint.h>

#include "support/bounded_string.h"

namespace installer {

// Starts `line` afresh with the quoted setup path, the archive switch
// ("--install-archive" for a "B7" archive, "--uncompressed-archive"
// otherwise) and, when `previous_version` is not null (even if empty),
// "--previous-version". False as soon as a piece does not fit; setup must
// then not be started.
bool BuildInstallCommandLine(const wchar_t* setup_path,
                             const wchar_t* archive_path,
                             bool archive_compressed,
                             const wchar_t* previous_version,
                             CommandLineString* line);

// Appends " --telvo-referral-code", "=\"", `code` and "\"" as four separate
// appends, each made only if it fits by itself. Best effort: a nearly full
// line may end with the switch and an empty pair of quotes.
void AppendReferralSwitch(const wchar_t* code, CommandLineString* line);

// Starts `line` afresh with the quoted installed setup path and the
// "--update-setup-exe" and "--new-setup-exe" switches with their quoted
// paths. False when it does not fit.
bool BuildSelfUpdateCommandLine(const wchar_t* installed_setup_path,
                                const wchar_t* patch_path,
                                const wchar_t* new_setup_path,
                                CommandLineString* line);

// The product may register its setup program in quotes. A text of at least
// two units that starts and ends with a quote loses both, in place; any
// other text (one quote, quotes followed by arguments) stays as it is.
void UnquoteInstalledSetupPath(wchar_t* buffer, uint64_t capacity);

}  // namespace installer

#endif  // LAUNCH_SETUP_COMMAND_LINE_H_
