// Where a raw command line's program name ends, by the rule of the
// platform's own split: a quoted name runs to its closing quote, an unquoted
// one to the first space or tab.
//
// Pure text code: no Windows header.
#ifndef SUPPORT_PROGRAM_NAME_H_
#define SUPPORT_PROGRAM_NAME_H_

namespace installer {

// The rest of `command_line` after its program name (its closing quote
// included), or its terminator when a quoted name is never closed, which
// makes the whole line the name.
const wchar_t* AfterProgramName(const wchar_t* command_line);

// True when anything but spaces and tabs follows the program name: only
// then does the line hold arguments that need splitting.
bool HasArguments(const wchar_t* command_line);

}  // namespace installer

#endif  // SUPPORT_PROGRAM_NAME_H_
