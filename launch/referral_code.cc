#include "launch/referral_code.h"

#include <stdint.h>

#include "support/bounded_string.h"

namespace installer {

namespace {

// Only ASCII counts: a saved file name is user-visible text in any script,
// and codes are issued in ASCII alone.
bool IsLetter(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z');
}

bool IsDigit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

constexpr uint64_t kNoPosition = ~uint64_t{0};

// The position of the last hyphen among the first `end` units.
uint64_t LastHyphenBefore(const wchar_t* name, uint64_t end) {
  while (end > 0) {
    --end;
    if (name[end] == L'-') return end;
  }
  return kNoPosition;
}

constexpr uint64_t kLetterDigitLength = 6;

}  // namespace

bool MatchLetterDigitCode(const wchar_t* name, ShortString* referral_code) {
  const uint64_t length = BoundedLength(name, kPathCapacity);
  const uint64_t hyphen = LastHyphenBefore(name, length);
  if (hyphen == kNoPosition) return false;
  const wchar_t* tail = name + hyphen + 1;
  if (length - (hyphen + 1) != kLetterDigitLength) return false;
  for (uint64_t i = 0; i < 3; ++i) {
    if (!IsLetter(tail[i]) || !IsDigit(tail[i + 3])) return false;
  }
  wchar_t code[kLetterDigitLength + 1];
  BoundedCopy(code, kLetterDigitLength + 1, tail);
  for (uint64_t i = 0; i < kLetterDigitLength; ++i) {
    if (code[i] >= L'a' && code[i] <= L'z') {
      code[i] = static_cast<wchar_t>(code[i] - (L'a' - L'A'));
    }
  }
  return referral_code->Copy(code);
}

bool MatchHyphenatedTail(const wchar_t* name, ShortString* referral_code) {
  const uint64_t length = BoundedLength(name, kPathCapacity);
  const uint64_t last = LastHyphenBefore(name, length);
  if (last == kNoPosition || last == 0) return false;
  const uint64_t previous = LastHyphenBefore(name, last);
  if (previous == kNoPosition) return false;
  const wchar_t* tail = name + previous + 1;
  for (uint64_t i = previous + 1; i < length; ++i) {
    if (i != last && !IsLetter(name[i])) return false;
  }
  return referral_code->Copy(tail);
}

bool DeriveReferralCode(const wchar_t* saved_installer_path,
                        ShortString* referral_code) {
  const uint64_t path_length =
      BoundedLength(saved_installer_path, kPathCapacity);
  PathString name;
  if (!name.Copy(AfterLastBackslash(saved_installer_path, path_length))) {
    return false;
  }
  wchar_t* units = name.data();
  uint64_t length = name.Length();

  // Only the last extension goes: "x.tar.gz" keeps "x.tar".
  for (uint64_t i = length; i > 0; --i) {
    if (units[i - 1] == L'.') {
      length = i - 1;
      units[length] = 0;
      break;
    }
  }

  // A browser's counter for a repeated download, "(1)", and only when it
  // ends the name; "()" counts as one too.
  if (length > 0 && units[length - 1] == L')') {
    uint64_t open = length - 1;
    while (open > 0 && IsDigit(units[open - 1])) --open;
    if (open > 0 && units[open - 1] == L'(') {
      length = open - 1;
      units[length] = 0;
    }
  }

  while (length > 0 && units[length - 1] == L' ') --length;
  units[length] = 0;
  if (length == 0) return false;

  if (MatchLetterDigitCode(units, referral_code)) return true;
  return MatchHyphenatedTail(units, referral_code);
}

}  // namespace installer
