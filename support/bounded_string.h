// Fixed-capacity UTF-16 text. Every write is bounded by a capacity that
// counts the terminator, and a write that does not fit fails whole: a failed
// copy leaves the empty text, a failed append leaves the text as it was.
//
// This header and its source use no Windows header, so that the same code
// builds natively (with 16-bit wchar_t) for sanitizer and fuzz runs.
#ifndef SUPPORT_BOUNDED_STRING_H_
#define SUPPORT_BOUNDED_STRING_H_

#include <stdint.h>

#include "support/installer_contract.h"

namespace installer {

uint64_t BoundedLength(const wchar_t* text, uint64_t capacity);
bool BoundedCopy(wchar_t* destination, uint64_t capacity, const wchar_t* source);
bool BoundedAppend(wchar_t* destination, uint64_t capacity,
                   const wchar_t* source);
bool EndsWithNoCase(const wchar_t* text, const wchar_t* suffix);
bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);
// A null or empty needle matches at the start of the text.
const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* needle);
// The position just after the last backslash of the first `length` units, or
// `path` itself when they hold none.
const wchar_t* AfterLastBackslash(const wchar_t* path, uint64_t length);
wchar_t* AfterLastBackslash(wchar_t* path, uint64_t length);
void* FillBytes(void* buffer, int value, uint64_t count);
// Upper-case digits, high nibble first; needs room for 2 * count + 1 units.
bool HexEncode(const uint8_t* bytes, uint64_t count, wchar_t* destination,
               uint64_t capacity);

// Folds only A to Z; every other unit compares as itself.
inline wchar_t FoldAsciiCase(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20)
                                        : unit;
}

// A buffer of N units of text capacity plus one guard unit. Construction
// zeroes unit 0 and unit N only; no operation is ever given more than N, so
// the guard stays zero and the text is terminated even after a platform call
// filled all N units.
template <uint64_t N>
struct BoundedWideString {
  static_assert(N >= 1, "a capacity counts the terminator");
  static constexpr uint64_t kCapacity = N;

  BoundedWideString() {
    units[0] = 0;
    units[N] = 0;
  }
  BoundedWideString(const BoundedWideString&) = delete;
  BoundedWideString& operator=(const BoundedWideString&) = delete;

  wchar_t* data() { return units; }
  const wchar_t* data() const { return units; }
  uint64_t Length() const { return BoundedLength(units, N); }
  bool IsEmpty() const { return units[0] == 0; }
  void Clear() { units[0] = 0; }
  bool Copy(const wchar_t* source) { return BoundedCopy(units, N, source); }
  bool Append(const wchar_t* source) {
    return BoundedAppend(units, N, source);
  }

  wchar_t units[N + 1];
};

// The capacities the stub uses; kPathCapacity, which its tools know too, is
// the contract's.
inline constexpr uint64_t kCommandLineCapacity = 1040;
inline constexpr uint64_t kSecurityTextCapacity = 300;
inline constexpr uint64_t kShortTextCapacity = 128;
inline constexpr uint64_t kTypeTagCapacity = 3;
inline constexpr uint64_t kFlagTextCapacity = 2;

using PathString = BoundedWideString<kPathCapacity>;
using CommandLineString = BoundedWideString<kCommandLineCapacity>;
using ShortString = BoundedWideString<kShortTextCapacity>;
using TypeTagString = BoundedWideString<kTypeTagCapacity>;

// `path` := `folder` + `name`, or the empty text when that does not fit, so
// that a failed join never leaves the bare folder behind as a file's path.
bool JoinPath(const wchar_t* folder, const wchar_t* name, PathString* path);

}  // namespace installer

#endif  // SUPPORT_BOUNDED_STRING_H_
