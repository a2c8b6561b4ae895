#include "launch/stub_arguments.h"

#include "support/bounded_string.h"

namespace installer {

void AppendStubArguments(const wchar_t* command_line, CommandLineString* line) {
  if (command_line == nullptr) return;
  const wchar_t* rest = command_line;
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    // Without its closing quote the whole line is the program name.
    if (*rest == 0) return;
    ++rest;
  } else {
    // Only SPACE and TAB end an unquoted name, as for the platform's own
    // split; other control characters are part of it.
    while (*rest != 0 && *rest != L' ' && *rest != L'\t') ++rest;
  }
  if (*rest == 0) return;
  if (*rest != L' ' && *rest != L'\t') {
    if (!line->Append(L" ")) return;
  }
  line->Append(rest);
}

}  // namespace installer
