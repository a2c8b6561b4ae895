#include "unpack/cabinet_expander.h"

#include <stdint.h>
#include <windows.h>

#include "support/bounded_string.h"
#include "unpack/fdi_interface.h"
#include "unpack/output_file.h"

namespace installer {

namespace {

// The process's only shared state. No constructor: it is zero-filled before
// the first instruction runs and needs no runtime to set it up. The module is
// never released; the entry points are looked up again on every expansion.
struct CabinetLibrary {
  HMODULE module;
  FdiCreateFunction* create;
  FdiCopyFunction* copy;
  FdiDestroyFunction* destroy;
};

CabinetLibrary g_cabinet_library;

// Tried in this order; the environment may lack either variable.
constexpr const wchar_t* kCabinetLibraryCandidates[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
    L"C:\\Windows\\system32\\cabinet.dll",
};

// Cabinet attribute bits that may reach the expanded file: read-only,
// hidden, system and archive. The execute (0x40) and UTF-8-name (0x80) bits
// are the cabinet's own.
constexpr USHORT kKeptAttributes = 0x27;

struct ExpansionContext {
  const wchar_t* destination;
  OutputFile file;
  uint8_t completed;
};

bool LoadCabinetLibrary() {
  if (g_cabinet_library.module != nullptr) return true;
  for (const wchar_t* candidate : kCabinetLibraryCandidates) {
    PathString path;
    const DWORD count =
        ExpandEnvironmentStringsW(candidate, path.data(), kPathCapacity);
    if (count < 1 || count > kPathCapacity) continue;
    const HMODULE module =
        LoadLibraryExW(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module != nullptr) {
      g_cabinet_library.module = module;
      return true;
    }
  }
  return false;
}

template <typename Function>
Function* LookUp(const char* name) {
  // Through void*: the loader hands out every export as one pointer type.
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(
      GetProcAddress(g_cabinet_library.module, name)));
}

bool LookUpEntryPoints() {
  g_cabinet_library.create = LookUp<FdiCreateFunction>("FDICreate");
  g_cabinet_library.destroy = LookUp<FdiDestroyFunction>("FDIDestroy");
  g_cabinet_library.copy = LookUp<FdiCopyFunction>("FDICopy");
  return g_cabinet_library.create != nullptr &&
         g_cabinet_library.destroy != nullptr &&
         g_cabinet_library.copy != nullptr;
}

// UTF-8 copy of `length` units (-1: up to and including the terminator) in a
// process-heap buffer, always zero-terminated; null when the text converts to
// nothing or the heap refuses.
char* ToUtf8(const wchar_t* text, int length) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr,
                          nullptr);
  if (size <= 0) return nullptr;
  // A counted conversion carries no terminator of its own.
  const int extra = length < 0 ? 0 : 1;
  char* buffer = static_cast<char*>(
      HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size + extra)));
  if (buffer == nullptr) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, text, length, buffer, size, nullptr,
                          nullptr) != size) {
    HeapFree(GetProcessHeap(), 0, buffer);
    return nullptr;
  }
  if (extra != 0) buffer[size] = 0;
  return buffer;
}

void FreeHeapBlock(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

HANDLE AsHandle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }

INT_PTR AsFdiFile(HANDLE handle) { return reinterpret_cast<INT_PTR>(handle); }

extern "C" {

void* __cdecl FdiAlloc(ULONG size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void __cdecl FdiFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }

INT_PTR __cdecl FdiOpen(char* name, int open_flags, int /*mode*/) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (units <= 0) return AsFdiFile(INVALID_HANDLE_VALUE);
  wchar_t* wide = static_cast<wchar_t*>(HeapAlloc(
      GetProcessHeap(), 0, static_cast<SIZE_T>(units) * sizeof(wchar_t)));
  if (wide == nullptr) return AsFdiFile(INVALID_HANDLE_VALUE);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, units) == units) {
    DWORD access = GENERIC_READ;
    if ((open_flags & kFdiOpenReadWrite) != 0) {
      access = GENERIC_READ | GENERIC_WRITE;
    } else if ((open_flags & kFdiOpenWriteOnly) != 0) {
      access = GENERIC_WRITE;
    }
    const DWORD disposition =
        (open_flags & kFdiOpenCreate) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;
    handle = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  HeapFree(GetProcessHeap(), 0, wide);
  return AsFdiFile(handle);
}

UINT __cdecl FdiRead(INT_PTR file, void* buffer, UINT count) {
  DWORD done = 0;
  if (!ReadFile(AsHandle(file), buffer, count, &done, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return done;
}

UINT __cdecl FdiWrite(INT_PTR file, void* buffer, UINT count) {
  DWORD done = 0;
  if (!WriteFile(AsHandle(file), buffer, count, &done, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return done;
}

int __cdecl FdiClose(INT_PTR file) {
  return CloseHandle(AsHandle(file)) ? 0 : -1;
}

LONG __cdecl FdiSeek(INT_PTR file, LONG distance, int method) {
  const DWORD position = SetFilePointer(AsHandle(file), distance, nullptr,
                                        static_cast<DWORD>(method));
  if (position == INVALID_SET_FILE_POINTER) return -1;
  return static_cast<LONG>(position);
}

INT_PTR __cdecl FdiNotify(FdiNotificationType type,
                          FdiNotification* notification) {
  auto* context = static_cast<ExpansionContext*>(notification->user_value);
  switch (type) {
    case kFdiCabinetInfo:
    case kFdiEnumerate:
      return 0;
    case kFdiCopyFile: {
      // Every file of the cabinet goes to the one destination; a second
      // file replaces the first.
      if (!context->file.Open(context->destination)) return -1;
      const HANDLE duplicate = context->file.Duplicate();
      if (duplicate == INVALID_HANDLE_VALUE) return -1;
      return AsFdiFile(duplicate);
    }
    case kFdiCloseFileInfo: {
      // Zero times and zero attributes leave the file's own values alone.
      FILE_BASIC_INFO info;
      FillBytes(&info, 0, sizeof(info));
      FILETIME local_time;
      FILETIME creation_time;
      if (DosDateTimeToFileTime(notification->dos_date, notification->dos_time,
                                &local_time) &&
          LocalFileTimeToFileTime(&local_time, &creation_time)) {
        info.CreationTime.LowPart = creation_time.dwLowDateTime;
        info.CreationTime.HighPart =
            static_cast<LONG>(creation_time.dwHighDateTime);
      }
      info.FileAttributes = notification->attributes & kKeptAttributes;
      const HANDLE handle = AsHandle(notification->file);
      SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info));
      CloseHandle(handle);
      context->completed = 1;
      return -1;
    }
    case kFdiPartialFile:
    case kFdiNextCabinet:
    default:
      // The stub expands single, self-contained cabinets only.
      return -1;
  }
}

}  // extern "C"

// A cabinet that the library gave up on after a file was handed back (Wine
// reports the file as finished before it notices a damaged data block) must
// not survive: clear attributes that would refuse the deletion, then mark it.
void DiscardFinishedFile(OutputFile* file) {
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof(info));
  info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(file->Handle(), FileBasicInfo, &info,
                             sizeof(info));
  file->MarkDeleteOnClose();
}

}  // namespace

bool CabinetExpander(const wchar_t* cabinet_path,
                     const wchar_t* destination_path) {
  if (!LoadCabinetLibrary()) return false;
  if (!LookUpEntryPoints()) return false;

  // The folder part keeps its backslash; a backslash only in the first unit
  // leaves no folder.
  const int length = lstrlenW(cabinet_path);
  int separator = length - 1;
  while (separator >= 1 && cabinet_path[separator] != L'\\') --separator;
  if (separator < 1) return false;

  char* cabinet_name = ToUtf8(cabinet_path + separator + 1, -1);
  if (cabinet_name == nullptr) return false;
  char* cabinet_folder = ToUtf8(cabinet_path, separator + 1);
  if (cabinet_folder == nullptr) {
    FreeHeapBlock(cabinet_name);
    return false;
  }

  FdiErrorRecord error;
  FillBytes(&error, 0, sizeof(error));
  const HFDI fdi = g_cabinet_library.create(
      FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek,
      kFdiCpuUnknown, &error);
  if (fdi == nullptr) {
    FreeHeapBlock(cabinet_name);
    FreeHeapBlock(cabinet_folder);
    return false;
  }

  ExpansionContext context;
  context.destination = destination_path;
  context.completed = 0;
  const bool copied =
      g_cabinet_library.copy(fdi, cabinet_name, cabinet_folder, 0, FdiNotify,
                             nullptr, &context) != FALSE;
  g_cabinet_library.destroy(fdi);

  const bool expanded = context.completed == 1 && copied;
  if (expanded) {
    FlushFileBuffers(context.file.Handle());
  } else if (context.file.IsOpen()) {
    if (context.completed == 1) {
      DiscardFinishedFile(&context.file);
    } else {
      context.file.MarkDeleteOnClose();
    }
  }
  context.file.Close();

  FreeHeapBlock(cabinet_name);
  FreeHeapBlock(cabinet_folder);
  return expanded;
}

}  // namespace installer
