#include "support/program_name.h"

namespace installer {

const wchar_t* AfterProgramName(const wchar_t* command_line) {
  const wchar_t* rest = command_line;
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    if (*rest != 0) ++rest;
    return rest;
  }
  // Only SPACE and TAB end an unquoted name; other control characters are
  // part of it.
  while (*rest != 0 && *rest != L' ' && *rest != L'\t') ++rest;
  return rest;
}

bool HasArguments(const wchar_t* command_line) {
  const wchar_t* rest = AfterProgramName(command_line);
  while (*rest == L' ' || *rest == L'\t') ++rest;
  return *rest != 0;
}

}  // namespace installer
