// Carries the stub's own arguments over to setup's command line: everything
// after the program name of the stub's raw command line, spacing included,
// so that setup sees exactly what the stub was given.
//
// Pure text code: no Windows header.
#ifndef LAUNCH_STUB_ARGUMENTS_H_
#define LAUNCH_STUB_ARGUMENTS_H_

#include "support/bounded_string.h"

namespace installer {

// Appends the arguments of `command_line` to `line`, or leaves `line` as it
// was: when there are none, when a quoted program name is never closed, or
// when they do not fit whole. A closing quote followed directly by text gets
// one space inserted before it.
void AppendStubArguments(const wchar_t* command_line, CommandLineString* line);

}  // namespace installer

#endif  // LAUNCH_STUB_ARGUMENTS_H_
