#include "support/bounded_string.h"

namespace installer {

namespace {

uint64_t UnboundedLength(const wchar_t* text) {
  uint64_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

}  // namespace

uint64_t BoundedLength(const wchar_t* text, uint64_t capacity) {
  if (text == nullptr || capacity < 2) return 0;
  for (uint64_t i = 0; i + 1 < capacity; ++i) {
    if (text[i] == 0) return i;
  }
  return capacity - 1;
}

bool BoundedCopy(wchar_t* destination, uint64_t capacity,
                 const wchar_t* source) {
  if (destination == nullptr || capacity == 0) return false;
  // Strictly front to back, each unit read just before it is stored: a source
  // one unit inside the destination shifts the text left.
  for (uint64_t i = 0; i < capacity; ++i) {
    destination[i] = source[i];
    if (destination[i] == 0) return true;
  }
  destination[0] = 0;
  return false;
}

bool BoundedAppend(wchar_t* destination, uint64_t capacity,
                   const wchar_t* source) {
  const uint64_t length = BoundedLength(destination, capacity);
  if (destination == nullptr || capacity - length == 0) return false;
  for (uint64_t i = 0; i < capacity - length; ++i) {
    destination[length + i] = source[i];
    if (source[i] == 0) return true;
  }
  destination[length] = 0;
  return false;
}

bool EndsWithNoCase(const wchar_t* text, const wchar_t* suffix) {
  if (text == nullptr || suffix == nullptr) return false;
  uint64_t text_length = UnboundedLength(text);
  uint64_t suffix_length = UnboundedLength(suffix);
  while (suffix_length > 0) {
    if (text_length == 0) return false;
    --text_length;
    --suffix_length;
    if (FoldAsciiCase(text[text_length]) != FoldAsciiCase(suffix[suffix_length]))
      return false;
  }
  return true;
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  for (uint64_t i = 0; prefix[i] != 0; ++i) {
    if (FoldAsciiCase(text[i]) != FoldAsciiCase(prefix[i])) return false;
  }
  return true;
}

const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* needle) {
  if (needle == nullptr || needle[0] == 0) return text;
  for (const wchar_t* start = text; *start != 0; ++start) {
    uint64_t i = 0;
    while (needle[i] != 0) {
      if (start[i] == 0) return nullptr;  // no room for a match further right
      if (FoldAsciiCase(start[i]) != FoldAsciiCase(needle[i])) break;
      ++i;
    }
    if (needle[i] == 0) return start;
  }
  return nullptr;
}

const wchar_t* AfterLastBackslash(const wchar_t* path, uint64_t length) {
  if (length == 0) return path;
  for (uint64_t i = length - 1; i >= 1; --i) {
    if (path[i] == L'\\') return path + i + 1;
  }
  return path[0] == L'\\' ? path + 1 : path;
}

wchar_t* AfterLastBackslash(wchar_t* path, uint64_t length) {
  return const_cast<wchar_t*>(
      AfterLastBackslash(static_cast<const wchar_t*>(path), length));
}

void* FillBytes(void* buffer, int value, uint64_t count) {
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (uint64_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value);
  return buffer;
}

bool JoinPath(const wchar_t* folder, const wchar_t* name, PathString* path) {
  if (path->Copy(folder) && path->Append(name)) return true;
  path->Clear();
  return false;
}

bool HexEncode(const uint8_t* bytes, uint64_t count, wchar_t* destination,
               uint64_t capacity) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  if (capacity <= 2 * count) return false;
  destination[2 * count] = 0;
  for (uint64_t i = 0; i < count; ++i) {
    destination[2 * i] = kDigits[bytes[i] >> 4];
    destination[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return true;
}

}  // namespace installer
