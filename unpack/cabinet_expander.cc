#include "unpack/cabinet_expander.h"

#include <stdint.h>
#include <windows.h>

#include "support/bounded_string.h"
#include "unpack/fdi_interface.h"
#include "unpack/output_file.h"

namespace installer {

namespace {

// Process-wide, like g_expansion below. No constructor: both are zero-filled
// before the first instruction runs and need no runtime to set them up. The
// module is never released; the entry points are looked up again on every
// expansion.
struct CabinetLibrary {
  HMODULE module;
  FdiCreateFunction* create;
  FdiCopyFunction* copy;
  FdiDestroyFunction* destroy;
};

CabinetLibrary g_cabinet_library;

// Cabinet attribute bits that may reach the expanded file: read-only,
// hidden, system and archive. The execute (0x40) and UTF-8-name (0x80) bits
// are the cabinet's own.
constexpr USHORT kKeptAttributes = 0x27;

// FDI's answer to a notification that ends FDICopy.
constexpr INT_PTR kFdiAbort = -1;

// The cabinet files that FDI may hold open at once: the cabinet itself, and
// a next one it asks for before the stub refuses it.
constexpr int kMaxFdiSources = 4;

struct ExpansionContext {
  // The work folder, held, in which the cabinet lies and the destination is
  // made; both are reached only through it.
  HANDLE folder;
  // The destination's name in `folder`, and the caller's record of it.
  const wchar_t* destination;
  HeldFile* expanded;
  // The cabinet's name in `folder`, and the file the run made there.
  const wchar_t* cabinet_name;
  FileIdentity cabinet;
  // The cabinet's folder and name as FDICopy was given them (UTF-8): the one
  // file that FDI may open is the one they spell.
  const char* fdi_folder;
  const char* fdi_name;
  // The stub's own handle to the destination; it outlives FDI's, so that a
  // finished file can be flushed and an unfinished one deleted.
  OutputFile file;
  // The duplicate that FDI writes through, until FDI hands it back or
  // closes it; INVALID_HANDLE_VALUE when none is out.
  HANDLE fdi_file;
  // The cabinet files that FDI opened and has not closed yet, so that a
  // crash handler can let go of them; INVALID_HANDLE_VALUE in free slots.
  HANDLE fdi_sources[kMaxFdiSources];
  // What fdintCOPY_FILE announced of the file being written.
  uint32_t announced_size;
  USHORT dos_date;
  USHORT dos_time;
  USHORT attributes;
  // A write through `fdi_file` failed.
  bool write_failed;
  // The stub answered a notification with an abort.
  bool aborted;
  // The destination holds the last file of the cabinet, whole.
  uint8_t completed;
};

// FDI's open, write and close callbacks carry no user value: they reach the
// one expansion in progress through this, and so does a crash handler. It is
// set from just before FDICopy until the expansion has let go of every
// handle, and the process has one thread.
ExpansionContext* g_expansion;

// Keeps or forgets one cabinet file that FDI opened.
void TrackFdiSource(HANDLE handle, HANDLE replacement) {
  if (g_expansion == nullptr) return;
  for (HANDLE& source : g_expansion->fdi_sources) {
    if (source == handle) {
      source = replacement;
      return;
    }
  }
}

// From the system folder as the system reports it, and from nowhere else:
// the run may be elevated, and the environment (WINDIR and SYSTEMROOT among
// it) is the user's to set, as are the folders the loader would search.
bool LoadCabinetLibrary() {
  if (g_cabinet_library.module != nullptr) return true;
  PathString path;
  const UINT length =
      GetSystemDirectoryW(path.data(), static_cast<UINT>(kPathCapacity));
  if (length == 0 || length >= kPathCapacity ||
      !path.Append(L"\\cabinet.dll")) {
    return false;
  }
  const HMODULE module =
      LoadLibraryExW(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return false;
  g_cabinet_library.module = module;
  return true;
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

// Closes the duplicate that FDI held, unless FDI closed it already.
void CloseFdiFile(ExpansionContext* context) {
  const HANDLE handle = context->fdi_file;
  if (handle == INVALID_HANDLE_VALUE) return;
  context->fdi_file = INVALID_HANDLE_VALUE;
  CloseHandle(handle);
}

bool HasSize(HANDLE file, uint32_t size) {
  FILE_STANDARD_INFO info;
  return GetFileInformationByHandleEx(file, FileStandardInfo, &info,
                                      sizeof(info)) &&
         info.EndOfFile.QuadPart == static_cast<LONGLONG>(size);
}

// The cabinet's date and time, read as local time, become the creation time;
// of its attributes only the file attributes are kept. A zero time or zero
// attributes leave the file's own values alone.
void SetStoredInformation(const ExpansionContext& context) {
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof(info));
  FILETIME local_time;
  FILETIME creation_time;
  if (DosDateTimeToFileTime(context.dos_date, context.dos_time, &local_time) &&
      LocalFileTimeToFileTime(&local_time, &creation_time)) {
    info.CreationTime.LowPart = creation_time.dwLowDateTime;
    info.CreationTime.HighPart = static_cast<LONG>(creation_time.dwHighDateTime);
  }
  info.FileAttributes = context.attributes & kKeptAttributes;
  SetFileInformationByHandle(context.file.Handle(), FileBasicInfo, &info,
                             sizeof(info));
}

INT_PTR AsFdiFile(HANDLE handle) { return reinterpret_cast<INT_PTR>(handle); }

// Whether `name` is the cabinet's folder followed by its name, as FDICopy
// was given them and joins them to open the cabinet.
bool SpellsCabinet(const char* name, const ExpansionContext* context) {
  const char* rest = name;
  for (const char* unit = context->fdi_folder; *unit != 0; ++unit, ++rest) {
    if (*rest != *unit) return false;
  }
  for (const char* unit = context->fdi_name; *unit != 0; ++unit, ++rest) {
    if (*rest != *unit) return false;
  }
  return *rest == 0;
}

extern "C" {

void* __cdecl FdiAlloc(ULONG size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void __cdecl FdiFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }

INT_PTR __cdecl FdiOpen(char* name, int open_flags, int /*mode*/) {
  // FDI asks for files by name; the one it gets is the cabinet the run made
  // and holds, opened again through the held work folder and proven to be
  // that file, for reading. A name that leads anywhere else, a next cabinet
  // or a file to write, is refused.
  ExpansionContext* context = g_expansion;
  if (context == nullptr ||
      (open_flags & (kFdiOpenReadWrite | kFdiOpenWriteOnly | kFdiOpenCreate)) !=
          0 ||
      !SpellsCabinet(name, context)) {
    return AsFdiFile(INVALID_HANDLE_VALUE);
  }
  HANDLE handle = CreateInFolder(
      context->folder, context->cabinet_name, GENERIC_READ, FILE_SHARE_READ,
      FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
  FileIdentity found;
  if (handle != INVALID_HANDLE_VALUE &&
      (!ReadFileIdentity(handle, &found) ||
       !SameFile(found, context->cabinet))) {
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  if (handle != INVALID_HANDLE_VALUE) {
    TrackFdiSource(INVALID_HANDLE_VALUE, handle);
  }
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
  if (WriteWhole(AsHandle(file), buffer, count)) return count;
  if (g_expansion != nullptr) g_expansion->write_failed = true;
  return static_cast<UINT>(-1);
}

int __cdecl FdiClose(INT_PTR file) {
  const HANDLE handle = AsHandle(file);
  // FDI may close the destination itself when it gives up on it.
  if (g_expansion != nullptr && handle == g_expansion->fdi_file) {
    g_expansion->fdi_file = INVALID_HANDLE_VALUE;
  }
  TrackFdiSource(handle, INVALID_HANDLE_VALUE);
  return CloseHandle(handle) ? 0 : -1;
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
      // A library that ignored an earlier abort gets none of the rest.
      if (context->aborted) return kFdiAbort;
      // Every file of the cabinet goes to the one destination; a second
      // file replaces the first, which is then no longer there.
      context->completed = 0;
      context->write_failed = false;
      context->announced_size = static_cast<uint32_t>(notification->size);
      // The destination is made once, new; a later file of the cabinet
      // empties it through the handle held, never through its name again.
      HANDLE duplicate = INVALID_HANDLE_VALUE;
      if (context->file.IsOpen() ? context->file.Truncate()
                                 : context->file.Open(context->folder,
                                                      context->destination)) {
        duplicate = context->file.Duplicate();
        // Known from here on: a crash while it is written still finds it.
        ReadFileIdentity(context->file.Handle(), &context->expanded->identity);
      }
      if (duplicate == INVALID_HANDLE_VALUE) {
        context->aborted = true;
        return kFdiAbort;
      }
      context->fdi_file = duplicate;
      return AsFdiFile(duplicate);
    }
    case kFdiCloseFileInfo: {
      // FDI hands the file back for good whatever the answer, so it is
      // closed here. Only a file of the announced size, written without a
      // failed write, counts: a library may report a file finished that a
      // full volume or damaged data cut short.
      const bool ours = AsHandle(notification->file) == context->fdi_file;
      const bool whole = ours && !context->write_failed &&
                         HasSize(context->fdi_file, context->announced_size);
      if (ours) {
        CloseFdiFile(context);
      } else {
        CloseHandle(AsHandle(notification->file));
      }
      if (!whole) {
        context->aborted = true;
        return kFdiAbort;
      }
      // Applied to the stub's own handle once the library is done: a
      // read-only or hidden file here would refuse the next file of the
      // cabinet, or the deletion of one that the library fails later.
      context->dos_date = notification->dos_date;
      context->dos_time = notification->dos_time;
      context->attributes = notification->attributes;
      context->completed = 1;
      return TRUE;
    }
    case kFdiPartialFile:
    case kFdiNextCabinet:
    default:
      // The stub expands single, self-contained cabinets only.
      context->aborted = true;
      return kFdiAbort;
  }
}

}  // extern "C"

}  // namespace

void AbandonCabinetExpansion() {
  ExpansionContext* context = g_expansion;
  if (context == nullptr) return;
  g_expansion = nullptr;
  for (HANDLE& source : context->fdi_sources) {
    if (source != INVALID_HANDLE_VALUE) {
      const HANDLE handle = source;
      source = INVALID_HANDLE_VALUE;
      CloseHandle(handle);
    }
  }
  CloseFdiFile(context);
  context->file.Abandon();
}

bool CabinetExpander(const wchar_t* cabinet_path, const HeldFile& cabinet,
                     HANDLE folder, const wchar_t* destination_name,
                     HeldFile* expanded) {
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
  context.folder = folder;
  context.destination = destination_name;
  context.expanded = expanded;
  context.cabinet_name = cabinet_path + separator + 1;
  context.cabinet = cabinet.identity;
  context.fdi_folder = cabinet_folder;
  context.fdi_name = cabinet_name;
  context.fdi_file = INVALID_HANDLE_VALUE;
  context.announced_size = 0;
  context.dos_date = 0;
  context.dos_time = 0;
  context.attributes = 0;
  context.write_failed = false;
  context.aborted = false;
  context.completed = 0;
  for (HANDLE& source : context.fdi_sources) source = INVALID_HANDLE_VALUE;
  g_expansion = &context;
  const bool copied =
      g_cabinet_library.copy(fdi, cabinet_name, cabinet_folder, 0, FdiNotify,
                             nullptr, &context) != FALSE;
  g_cabinet_library.destroy(fdi);
  // A library that gave up in the middle of a file may have left it open.
  CloseFdiFile(&context);

  // Both the library and the stub must find the expansion complete: Wine's
  // library reports a file finished before it notices damage further on,
  // and ignores the stub's abort answers.
  bool whole = copied && context.completed == 1;
  if (whole) {
    SetStoredInformation(context);
    FlushFileBuffers(context.file.Handle());
    // Held for reading only from here until setup has been started.
    whole = context.file.Hold(expanded);
  } else {
    context.file.Abandon();
  }
  g_expansion = nullptr;

  FreeHeapBlock(cabinet_name);
  FreeHeapBlock(cabinet_folder);
  return whole;
}

}  // namespace installer
