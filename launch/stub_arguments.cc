#include "launch/stub_arguments.h"

#include "support/bounded_string.h"
#include "support/program_name.h"

namespace installer {

void AppendStubArguments(const wchar_t* command_line, CommandLineString* line) {
  if (command_line == nullptr) return;
  const wchar_t* rest = AfterProgramName(command_line);
  if (*rest == 0) return;
  if (*rest != L' ' && *rest != L'\t') {
    if (!line->Append(L" ")) return;
  }
  line->Append(rest);
}

}  // namespace installer
