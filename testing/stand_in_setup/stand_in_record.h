// For tests that run the stand-in setup program: its record, read back one
// run at a time, and the environment it takes its instructions from.
#ifndef TESTING_STAND_IN_SETUP_STAND_IN_RECORD_H_
#define TESTING_STAND_IN_SETUP_STAND_IN_RECORD_H_

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "testing/stand_in_setup/utf8.h"
#include "testing/test_paths.h"

namespace testing_support {

// One run's "key=value" lines; a key that was not recorded reads as
// "<absent>".
struct StandInRun {
  std::map<std::string, std::string> values;

  std::string operator[](const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? "<absent>" : found->second;
  }
};

// Every run in the record file, oldest first; none when there is no file.
inline std::vector<StandInRun> ReadStandInRecord(const std::wstring& path) {
  std::vector<StandInRun> runs;
  if (!FileExists(path)) return runs;
  const std::string text = ReadWholeFile(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    if (key == "started" || runs.empty()) runs.emplace_back();
    runs.back().values[key] = line.substr(equals + 1);
  }
  return runs;
}

// Sets an environment variable of this process, which every program it
// starts inherits, for one scope; a null value leaves it unset. The value it
// had before comes back afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed != 0) {
      previous_.resize(needed);
      previous_.resize(
          GetEnvironmentVariableW(name, previous_.data(), needed));
      had_value_ = true;
    }
    SetEnvironmentVariableW(name, value);
  }
  ScopedVariable(const wchar_t* name, const std::wstring& value)
      : ScopedVariable(name, value.c_str()) {}
  ~ScopedVariable() {
    SetEnvironmentVariableW(name_, had_value_ ? previous_.c_str() : nullptr);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const wchar_t* name_;
  std::wstring previous_;
  bool had_value_ = false;
};

// A patch from which the stand-in writes `program` as the new setup
// program.
inline std::string StandInPatch(const std::string& program) {
  return "STAND-IN-PATCH 1\n" + program;
}

}  // namespace testing_support

#endif  // TESTING_STAND_IN_SETUP_STAND_IN_RECORD_H_
