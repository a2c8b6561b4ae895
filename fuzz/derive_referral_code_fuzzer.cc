// DeriveReferralCode on any saved-installer path: the code is empty when the
// result is false, and otherwise either three capitals and three digits
// (taken, case aside, from the file name after a hyphen) or letters, one
// hyphen, letters, shorter than 128 units (taken verbatim from the file name
// after a hyphen), with nothing behind it in the file name but spaces, a
// counter and an extension. A file name that plainly carries a letter-digit
// code always yields it. The result depends only on the file name: folders in
// front, an extension, a download counter and spaces before the counter
// change nothing.
#include <stddef.h>
#include <stdint.h>

#include "fuzz/fuzz_support.h"
#include "launch/referral_code.h"

namespace {

using fuzzing::Fenced;
using fuzzing::Text;

struct Derived {
  bool found;
  std::vector<wchar_t> code;
};

Derived Derive(const std::vector<wchar_t>& path) {
  const Text text(path);
  installer::PathString saved;
  FUZZ_CHECK(saved.Copy(text.c_str()));
  Fenced<installer::kShortTextCapacity> code;
  code->Clear();  // the caller empties it
  const bool found = installer::DeriveReferralCode(saved.data(), code.get());
  code.Check();
  FUZZ_CHECK(fuzzing::SameUnits(saved.data(), text.c_str(), path.size() + 1));
  const size_t length = code.TextLength();
  if (!found) FUZZ_CHECK(length == 0);
  return {found, std::vector<wchar_t>(code.units(), code.units() + length)};
}

bool IsLetterDigitCode(const std::vector<wchar_t>& code) {
  if (code.size() != 6) return false;
  for (size_t i = 0; i < 3; ++i) {
    if (code[i] < L'A' || code[i] > L'Z') return false;
    if (!fuzzing::IsAsciiDigit(code[i + 3])) return false;
  }
  return true;
}

bool IsHyphenatedTail(const std::vector<wchar_t>& code) {
  if (code.size() >= 128) return false;
  size_t hyphens = 0;
  for (wchar_t unit : code) {
    if (unit == L'-') {
      ++hyphens;
    } else if (!fuzzing::IsAsciiLetter(unit)) {
      return false;
    }
  }
  return hyphens == 1;
}

// Whether `rest`, what follows a code in the file name, is wholly taken
// away by the reduction: spaces, at most one "(digits)" counter right at the
// end of the name without its extension, and one extension. Without an
// extension the name must not hold a dot anywhere, or the cut at the last
// dot would take the code along.
bool ReducesAway(const std::vector<wchar_t>& name, size_t rest_start) {
  size_t i = rest_start;
  while (i < name.size() && name[i] == L' ') ++i;
  if (i < name.size() && name[i] == L'(') {
    size_t close = i + 1;
    while (close < name.size() && fuzzing::IsAsciiDigit(name[close])) ++close;
    if (close < name.size() && name[close] == L')') i = close + 1;
  }
  if (i == name.size()) {
    for (wchar_t unit : name) {
      if (unit == L'.') return false;
    }
    return true;
  }
  if (name[i] != L'.') return false;
  for (size_t j = i + 1; j < name.size(); ++j) {
    if (name[j] == L'.') return false;
  }
  return true;
}

// Whether "-" + `code` occurs in `name` (exactly, or folding A to Z) with
// nothing behind it that the reduction would not take away.
bool EndsReducedName(const std::vector<wchar_t>& name,
                     const std::vector<wchar_t>& code, bool fold) {
  for (size_t start = 0; start + code.size() < name.size(); ++start) {
    if (name[start] != L'-') continue;
    size_t i = 0;
    while (i < code.size() &&
           (fold ? fuzzing::SameNoCase(name[start + 1 + i], code[i])
                 : name[start + 1 + i] == code[i])) {
      ++i;
    }
    if (i == code.size() && ReducesAway(name, start + 1 + code.size()))
      return true;
  }
  return false;
}

// The letter-digit code that a file name plainly carries: a hyphen, three
// letters and three digits with only reducible text behind them.
bool CarriesLetterDigitCode(const std::vector<wchar_t>& name,
                            std::vector<wchar_t>* code) {
  for (size_t start = 0; start + 7 <= name.size(); ++start) {
    if (name[start] != L'-') continue;
    bool shaped = true;
    for (size_t i = 0; i < 3; ++i) {
      shaped = shaped && fuzzing::IsAsciiLetter(name[start + 1 + i]) &&
               fuzzing::IsAsciiDigit(name[start + 4 + i]);
    }
    if (!shaped || !ReducesAway(name, start + 7)) continue;
    code->clear();
    for (size_t i = 1; i <= 6; ++i) {
      const wchar_t unit = name[start + i];
      code->push_back((unit >= L'a' && unit <= L'z')
                          ? static_cast<wchar_t>(unit - 0x20)
                          : unit);
    }
    return true;
  }
  return false;
}

void CheckSame(const Derived& a, const Derived& b) {
  FUZZ_CHECK(a.found == b.found);
  FUZZ_CHECK(a.code == b.code);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  const uint8_t variant = input.Byte();
  const std::vector<wchar_t> path = input.Field(259);
  const std::vector<wchar_t> extension = input.Field(8);
  if (path.empty()) return 0;  // the caller never asks for an empty path

  const Derived derived = Derive(path);
  size_t name_start = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == L'\\') name_start = i + 1;
  }
  const std::vector<wchar_t> name(path.begin() + name_start, path.end());
  if (derived.found) {
    const bool letter_digit = IsLetterDigitCode(derived.code);
    FUZZ_CHECK(letter_digit || IsHyphenatedTail(derived.code));
    FUZZ_CHECK(EndsReducedName(name, derived.code, letter_digit));
  }
  std::vector<wchar_t> carried;
  if (CarriesLetterDigitCode(name, &carried)) {
    FUZZ_CHECK(derived.found);
    FUZZ_CHECK(derived.code == carried);
  }

  // Folders in front of the path.
  std::vector<wchar_t> longer;
  fuzzing::Put(&longer, L"D:\\a.b-c (1)\\");
  fuzzing::Put(&longer, path);
  if (longer.size() <= 259) CheckSame(derived, Derive(longer));

  // For a file name without a dot that does not end in ")": spaces, a
  // counter and an extension behind it.
  bool has_dot = false;
  for (wchar_t unit : name) has_dot |= unit == L'.';
  if (has_dot || (!name.empty() && name.back() == L')')) return 0;
  std::vector<wchar_t> dressed = path;
  for (int i = 0; i < (variant & 3); ++i) dressed.push_back(L' ');
  if (variant & 4) {
    dressed.push_back(L'(');
    for (int i = 0; i < ((variant >> 3) & 3); ++i)
      dressed.push_back(static_cast<wchar_t>(L'0' + (variant + i) % 10));
    dressed.push_back(L')');
  }
  if (variant & 0x20) {
    dressed.push_back(L'.');
    for (wchar_t unit : extension) {
      if (unit != L'.' && unit != L'\\') dressed.push_back(unit);
    }
  }
  // Trailing spaces without a counter behind them are trimmed as well, so
  // every variant reduces to the same name.
  if (dressed.size() <= 259) CheckSame(derived, Derive(dressed));
  return 0;
}
