// Owners of what Windows hands out and wants back: a handle, a registry key,
// a block of local, heap or virtual memory, a mapped view. Each owner holds
// one value, gives it back when it goes out of scope or is reset, and can
// only be moved, never copied, so that every value is given back exactly
// once. A keeper of the thread's last error carries a failure's error past
// the cleanup that follows it.
//
// No runtime behind them: no exceptions, no allocation, nothing but the
// platform's own release call. A crash ending, in which no destructor runs,
// resets the owners it must empty itself.
#ifndef SUPPORT_UNIQUE_RESOURCE_H_
#define SUPPORT_UNIQUE_RESOURCE_H_

#include <windows.h>

namespace installer {

// std::move, for code that links no standard library.
template <typename T>
constexpr T&& Move(T& value) {
  return static_cast<T&&>(value);
}

// `Traits` names the held type (Value), the value that stands for nothing
// held (None) and the call that gives a value back (Close).
template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  explicit UniqueResource(Value value) : value_(value) {}
  ~UniqueResource() { Reset(); }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) : value_(other.Release()) {}
  // Safe on itself: the value is taken before the old one is given back.
  UniqueResource& operator=(UniqueResource&& other) {
    Reset(other.Release());
    return *this;
  }

  Value get() const { return value_; }
  bool IsValid() const { return value_ != Traits::None(); }

  // Gives back what is held and holds `value` instead. The owner forgets the
  // old value before it is given back, so that nothing (a crash ending that
  // runs meanwhile) can give it back twice.
  void Reset(Value value = Traits::None()) {
    const Value held = value_;
    value_ = value;
    if (held != Traits::None()) Traits::Close(held);
  }
  // Hands what is held over to the caller, who gives it back instead.
  [[nodiscard]] Value Release() {
    const Value held = value_;
    value_ = Traits::None();
    return held;
  }
  // Where a call that hands out a value through a pointer puts it; what was
  // held is given back first.
  Value* Put() {
    Reset();
    return &value_;
  }

 private:
  Value value_ = Traits::None();
};

// A kernel object that null stands for no handle of: a process, a thread,
// a token, a file mapping.
struct HandleTraits {
  using Value = HANDLE;
  static Value None() { return nullptr; }
  static void Close(Value value) { CloseHandle(value); }
};

// A file or folder, which CreateFileW and NtCreateFile's callers answer with
// INVALID_HANDLE_VALUE for none.
struct FileHandleTraits {
  using Value = HANDLE;
  static Value None() { return INVALID_HANDLE_VALUE; }
  static void Close(Value value) { CloseHandle(value); }
};

struct RegistryKeyTraits {
  using Value = HKEY;
  static Value None() { return nullptr; }
  static void Close(Value value) { RegCloseKey(value); }
};

// Memory that Windows hands out from LocalAlloc, or asks its caller to free
// with LocalFree (an argument vector, a SID's text, a security descriptor).
template <typename T>
struct LocalMemoryTraits {
  using Value = T*;
  static Value None() { return nullptr; }
  static void Close(Value value) { LocalFree(value); }
};

// A block of the process heap.
template <typename T>
struct HeapMemoryTraits {
  using Value = T*;
  static Value None() { return nullptr; }
  static void Close(Value value) { HeapFree(GetProcessHeap(), 0, value); }
};

// A region reserved and committed whole by VirtualAlloc.
template <typename T>
struct VirtualMemoryTraits {
  using Value = T*;
  static Value None() { return nullptr; }
  static void Close(Value value) { VirtualFree(value, 0, MEM_RELEASE); }
};

struct MappedViewTraits {
  using Value = void*;
  static Value None() { return nullptr; }
  static void Close(Value value) { UnmapViewOfFile(value); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;
template <typename T>
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits<T>>;
template <typename T>
using UniqueHeapMemory = UniqueResource<HeapMemoryTraits<T>>;
template <typename T>
using UniqueVirtualMemory = UniqueResource<VirtualMemoryTraits<T>>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;

// Takes the thread's last error as it is when made and sets it again when
// it goes: made right after a failure, it carries that failure's error past
// the closes that follow, which may change it.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(error_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

  DWORD error() const { return error_; }

 private:
  DWORD error_;
};

}  // namespace installer

#endif  // SUPPORT_UNIQUE_RESOURCE_H_
