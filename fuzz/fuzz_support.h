// What every fuzz target of the text code shares: decoding of the fuzz input,
// buffers laid out so that any stray write or read is caught, and an
// independent, deliberately naive model of ASCII case folding.
//
// Built natively with -fshort-wchar, so wchar_t is 16 bits as on Windows. No
// C library wide-character function and no std::wstring may be used here:
// the C and C++ runtimes were built with a 32-bit wchar_t.
#ifndef FUZZ_FUZZ_SUPPORT_H_
#define FUZZ_FUZZ_SUPPORT_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <vector>

#include "support/bounded_string.h"

static_assert(sizeof(wchar_t) == 2, "build with -fshort-wchar");

namespace fuzzing {

// A violated property: say which, then crash so that libFuzzer keeps the
// input as a finding.
[[noreturn]] inline void Fail(const char* property, const char* file,
                              int line) {
  fprintf(stderr, "\nPROPERTY VIOLATED at %s:%d: %s\n", file, line, property);
  fflush(stderr);
  __builtin_trap();
}

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) ::fuzzing::Fail(#condition, __FILE__, __LINE__); \
  } while (0)

// The fuzz bytes: a few header bytes first, then little-endian UTF-16 units.
// Reading past the end gives zeros, so every input is a valid one.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  bool AtEnd() const { return position_ + 1 >= size_; }

  // The next unit, or 0 at the end.
  wchar_t Unit() { return static_cast<wchar_t>(Word()); }

  // The next text field: units up to (not including) the next zero unit or
  // the end of the input, at most `max_units` of them. The zero that ends a
  // field is consumed, so fields are separated by zero units.
  std::vector<wchar_t> Field(size_t max_units) {
    std::vector<wchar_t> units;
    while (!AtEnd()) {
      const wchar_t unit = Unit();
      if (unit == 0) break;
      if (units.size() < max_units) units.push_back(unit);
    }
    return units;
  }

  // Every remaining unit, zeros included.
  std::vector<wchar_t> Rest(size_t max_units) {
    std::vector<wchar_t> units;
    while (!AtEnd() && units.size() < max_units) units.push_back(Unit());
    return units;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// A heap array of exactly `count` units: AddressSanitizer reports any access
// one unit before or after it.
class ExactUnits {
 public:
  explicit ExactUnits(size_t count)
      : units_(new wchar_t[count == 0 ? 0 : count]), count_(count) {}
  wchar_t* data() { return units_.get(); }
  const wchar_t* data() const { return units_.get(); }
  size_t size() const { return count_; }
  wchar_t& operator[](size_t i) { return units_[i]; }
  const wchar_t& operator[](size_t i) const { return units_[i]; }
  std::vector<wchar_t> Snapshot() const {
    return std::vector<wchar_t>(units_.get(), units_.get() + count_);
  }

 private:
  std::unique_ptr<wchar_t[]> units_;
  size_t count_;
};

// A zero-terminated text in an exact heap array (length + 1 units), so that a
// read beyond its terminator is reported.
class Text {
 public:
  explicit Text(const std::vector<wchar_t>& units) : units_(units.size() + 1) {
    for (size_t i = 0; i < units.size(); ++i) units_[i] = units[i];
    units_[units.size()] = 0;
  }
  Text(const wchar_t* literal) : Text(FromLiteral(literal)) {}
  const wchar_t* c_str() const { return units_.data(); }
  size_t length() const { return units_.size() - 1; }
  wchar_t operator[](size_t i) const { return units_[i]; }

 private:
  static std::vector<wchar_t> FromLiteral(const wchar_t* literal) {
    std::vector<wchar_t> units;
    while (*literal != 0) units.push_back(*literal++);
    return units;
  }
  ExactUnits units_;
};

// Units that a fenced buffer starts with, outside its text and inside it.
inline constexpr wchar_t kCanary = 0xC0DE;
inline constexpr wchar_t kFiller = 0xF111;
inline constexpr size_t kFenceUnits = 8;

template <uint64_t N>
struct FencedLayout {
  wchar_t before[kFenceUnits];
  installer::BoundedWideString<N> text;
  wchar_t after[kFenceUnits];
};

// A BoundedWideString<N> between canary units, on the heap by itself so that
// AddressSanitizer covers what lies beyond the canaries. Its units other than
// 0 and N start as filler, so that writes behind the text can be seen too.
template <uint64_t N>
class Fenced {
 public:
  static_assert(sizeof(FencedLayout<N>) ==
                    (2 * kFenceUnits + N + 1) * sizeof(wchar_t),
                "the canaries must touch the buffer");

  Fenced() : layout_(new FencedLayout<N>) {
    for (size_t i = 0; i < kFenceUnits; ++i) {
      layout_->before[i] = kCanary;
      layout_->after[i] = kCanary;
    }
    for (uint64_t i = 1; i < N; ++i) layout_->text.units[i] = kFiller;
  }

  installer::BoundedWideString<N>* get() { return &layout_->text; }
  installer::BoundedWideString<N>* operator->() { return &layout_->text; }
  wchar_t* units() { return layout_->text.units; }
  const wchar_t* units() const { return layout_->text.units; }

  // Puts `text` (cut to N - 1 units) at the start, terminated; the units
  // behind the terminator keep what they held.
  void SetText(const std::vector<wchar_t>& text) {
    size_t length = text.size() < N - 1 ? text.size() : N - 1;
    for (size_t i = 0; i < length; ++i) layout_->text.units[i] = text[i];
    layout_->text.units[length] = 0;
  }

  std::vector<wchar_t> Snapshot() const {
    return std::vector<wchar_t>(units(), units() + N + 1);
  }

  // Units before the first zero; a violation when none of units 0 to N - 1
  // is zero.
  size_t TextLength() const {
    for (size_t i = 0; i < N; ++i) {
      if (units()[i] == 0) return i;
    }
    Fail("the text is terminated within its capacity", __FILE__, __LINE__);
  }

  // The canaries, the guard unit N, and termination within the capacity.
  void Check() const {
    for (size_t i = 0; i < kFenceUnits; ++i) {
      FUZZ_CHECK(layout_->before[i] == kCanary);
      FUZZ_CHECK(layout_->after[i] == kCanary);
    }
    FUZZ_CHECK(units()[N] == 0);
    (void)TextLength();
  }

 private:
  std::unique_ptr<FencedLayout<N>> layout_;
};

// Independent model of the folding rule: A to Z become a to z, nothing else
// changes.
inline wchar_t Lower(wchar_t unit) {
  return (unit >= 0x41 && unit <= 0x5A) ? static_cast<wchar_t>(unit + 0x20)
                                        : unit;
}
inline bool SameNoCase(wchar_t a, wchar_t b) { return Lower(a) == Lower(b); }

// Whether `name` starts with the ASCII `lower_prefix` under that rule.
inline bool BeginsWithNoCase(const Text& name, const char* lower_prefix) {
  for (size_t i = 0; lower_prefix[i] != 0; ++i) {
    if (i >= name.length()) return false;
    if (Lower(name[i]) != static_cast<wchar_t>(lower_prefix[i])) return false;
  }
  return true;
}

inline size_t LengthOf(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

inline bool SameUnits(const wchar_t* a, const wchar_t* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

inline bool IsAsciiLetter(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z');
}
inline bool IsAsciiDigit(wchar_t unit) { return unit >= L'0' && unit <= L'9'; }

// Appends a literal or a vector of units to a model text.
inline void Put(std::vector<wchar_t>* text, const wchar_t* literal) {
  while (*literal != 0) text->push_back(*literal++);
}
inline void Put(std::vector<wchar_t>* text, const std::vector<wchar_t>& more) {
  text->insert(text->end(), more.begin(), more.end());
}

}  // namespace fuzzing

#endif  // FUZZ_FUZZ_SUPPORT_H_
