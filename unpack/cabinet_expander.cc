#include "unpack/cabinet_expander.h"

#include <stdint.h>
#include <windows.h>

#include "support/bounded_string.h"
#include "support/unique_resource.h"
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
  // Where the expansion keeps `handle` while FDI holds it (the destination,
  // or one of the cabinet files), or null. INVALID_HANDLE_VALUE finds a
  // free place for a cabinet file.
  UniqueFileHandle* PlaceOf(HANDLE handle);

  // The work folder, held, in which the cabinet lies and the destination is
  // made; both are reached only through it.
  HANDLE folder = nullptr;
  // The destination's name in `folder`, and the caller's record of it.
  const wchar_t* destination = nullptr;
  HeldFile* expanded = nullptr;
  // The cabinet's name in `folder`, and the file the run made there.
  const wchar_t* cabinet_name = nullptr;
  FileIdentity cabinet;
  // The cabinet's folder and name as FDICopy was given them (UTF-8): the one
  // file that FDI may open is the one they spell.
  const char* fdi_folder = nullptr;
  const char* fdi_name = nullptr;
  // The stub's own handle to the destination; it outlives FDI's, so that a
  // finished file can be flushed and an unfinished one deleted.
  OutputFile file;
  // The duplicate that FDI writes through, until FDI hands it back or
  // closes it.
  UniqueFileHandle fdi_file;
  // The cabinet files that FDI opened and has not closed yet, so that a
  // crash handler can let go of them.
  UniqueFileHandle fdi_sources[kMaxFdiSources];
  // What fdintCOPY_FILE announced of the file being written.
  uint32_t announced_size = 0;
  USHORT dos_date = 0;
  USHORT dos_time = 0;
  USHORT attributes = 0;
  // A write through `fdi_file` failed.
  bool write_failed = false;
  // The stub answered a notification with an abort.
  bool aborted = false;
  // The destination holds the last file of the cabinet, whole.
  uint8_t completed = 0;
};

UniqueFileHandle* ExpansionContext::PlaceOf(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE && fdi_file.get() == handle) {
    return &fdi_file;
  }
  for (UniqueFileHandle& source : fdi_sources) {
    if (source.get() == handle) return &source;
  }
  return nullptr;
}

// FDI's open, write and close callbacks carry no user value: they reach the
// one expansion in progress through this, and so does a crash handler. It is
// set from just before FDICopy until the expansion has let go of every
// handle, and the process has one thread.
ExpansionContext* g_expansion;

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

// The cabinet's path as FDICopy takes it: its folder, with the trailing
// backslash, and its name, each in UTF-8 and zero-terminated, both in one
// block of the process heap.
struct FdiCabinetPath {
  // Where the name starts in the path it was split from.
  const wchar_t* name_in_folder = nullptr;
  UniqueHeapMemory<char> block;
  const char* folder = nullptr;
  const char* name = nullptr;
};

// False when the path has no folder part (a backslash only in the first
// unit leaves none), does not convert, or the heap refuses.
bool SplitCabinetPath(const wchar_t* cabinet_path, FdiCabinetPath* split) {
  const int length = lstrlenW(cabinet_path);
  int separator = length - 1;
  while (separator >= 1 && cabinet_path[separator] != L'\\') --separator;
  if (separator < 1) return false;
  const wchar_t* name = cabinet_path + separator + 1;
  // The folder's conversion is counted and carries no terminator of its
  // own; the name's includes it.
  const int folder_size = WideCharToMultiByte(
      CP_UTF8, 0, cabinet_path, separator + 1, nullptr, 0, nullptr, nullptr);
  const int name_size =
      WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
  if (folder_size <= 0 || name_size <= 0) return false;
  split->block.Reset(static_cast<char*>(HeapAlloc(
      GetProcessHeap(), 0, static_cast<SIZE_T>(folder_size + 1 + name_size))));
  char* const folder = split->block.get();
  if (folder == nullptr) return false;
  char* const utf8_name = folder + folder_size + 1;
  if (WideCharToMultiByte(CP_UTF8, 0, cabinet_path, separator + 1, folder,
                          folder_size, nullptr, nullptr) != folder_size ||
      WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8_name, name_size, nullptr,
                          nullptr) != name_size) {
    return false;
  }
  folder[folder_size] = 0;
  split->name_in_folder = name;
  split->folder = folder;
  split->name = utf8_name;
  return true;
}

HANDLE AsHandle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }

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
  UniqueFileHandle handle(CreateInFolder(
      context->folder, context->cabinet_name, GENERIC_READ, FILE_SHARE_READ,
      FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
  FileIdentity found;
  if (!handle.IsValid() || !ReadFileIdentity(handle.get(), &found) ||
      !SameFile(found, context->cabinet)) {
    return AsFdiFile(INVALID_HANDLE_VALUE);
  }
  // FDI's to close from here on; kept meanwhile, for a crash handler.
  const HANDLE opened = handle.Release();
  UniqueFileHandle* place = context->PlaceOf(INVALID_HANDLE_VALUE);
  if (place != nullptr) place->Reset(opened);
  return AsFdiFile(opened);
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
  // A cabinet file, or the destination when FDI gives up on it: no longer
  // the expansion's to close.
  UniqueFileHandle* place =
      g_expansion != nullptr ? g_expansion->PlaceOf(handle) : nullptr;
  if (place != nullptr) static_cast<void>(place->Release());
  return CloseHandle(handle) ? 0 : -1;
}

LONG __cdecl FdiSeek(INT_PTR file, LONG distance, int method) {
  const DWORD position = SetFilePointer(AsHandle(file), distance, nullptr,
                                        static_cast<DWORD>(method));
  if (position == INVALID_SET_FILE_POINTER) return -1;
  return static_cast<LONG>(position);
}

// fdintCOPY_FILE: the destination for the next file of the cabinet.
INT_PTR OpenDestination(ExpansionContext* context,
                        const FdiNotification& notification) {
  // A library that ignored an earlier abort gets none of the rest.
  if (context->aborted) return kFdiAbort;
  // Every file of the cabinet goes to the one destination; a second file
  // replaces the first, which is then no longer there.
  context->completed = 0;
  context->write_failed = false;
  context->announced_size = static_cast<uint32_t>(notification.size);
  // The destination is made once, new; a later file of the cabinet empties
  // it through the handle held, never through its name again.
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  if (context->file.IsOpen()
          ? context->file.Truncate()
          : context->file.Open(context->folder, context->destination)) {
    duplicate = context->file.Duplicate();
    // Known from here on: a crash while it is written still finds it.
    ReadFileIdentity(context->file.Handle(), &context->expanded->identity);
  }
  if (duplicate == INVALID_HANDLE_VALUE) {
    context->aborted = true;
    return kFdiAbort;
  }
  context->fdi_file.Reset(duplicate);
  return AsFdiFile(duplicate);
}

// fdintCLOSE_FILE_INFO: FDI hands the file back for good whatever the
// answer, so it is closed here. Only a file of the announced size, written
// without a failed write, counts: a library may report a file finished that
// a full volume or damaged data cut short.
INT_PTR CloseDestination(ExpansionContext* context,
                         const FdiNotification& notification) {
  const HANDLE handed_back = AsHandle(notification.file);
  const bool ours = handed_back == context->fdi_file.get();
  const bool whole = ours && !context->write_failed &&
                     HasSize(handed_back, context->announced_size);
  if (ours) {
    context->fdi_file.Reset();
  } else {
    CloseHandle(handed_back);
  }
  if (!whole) {
    context->aborted = true;
    return kFdiAbort;
  }
  // Applied to the stub's own handle once the library is done: a read-only
  // or hidden file here would refuse the next file of the cabinet, or the
  // deletion of one that the library fails later.
  context->dos_date = notification.dos_date;
  context->dos_time = notification.dos_time;
  context->attributes = notification.attributes;
  context->completed = 1;
  return TRUE;
}

INT_PTR __cdecl FdiNotify(FdiNotificationType type,
                          FdiNotification* notification) {
  auto* context = static_cast<ExpansionContext*>(notification->user_value);
  switch (type) {
    case kFdiCabinetInfo:
    case kFdiEnumerate:
      return 0;
    case kFdiCopyFile:
      return OpenDestination(context, *notification);
    case kFdiCloseFileInfo:
      return CloseDestination(context, *notification);
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
  for (UniqueFileHandle& source : context->fdi_sources) source.Reset();
  context->fdi_file.Reset();
  context->file.Abandon();
}

namespace {

// FDICopy over the cabinet that `context` names, with the library's own
// instance made and destroyed around it. False when the library cannot be
// set up or reports a failure.
bool RunFdiCopy(const FdiCabinetPath& path, ExpansionContext* context) {
  FdiErrorRecord error;
  FillBytes(&error, 0, sizeof(error));
  const HFDI fdi = g_cabinet_library.create(
      FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek,
      kFdiCpuUnknown, &error);
  if (fdi == nullptr) return false;
  g_expansion = context;
  // FDICopy takes the names as writable texts, and only reads them.
  const bool copied =
      g_cabinet_library.copy(fdi, const_cast<char*>(path.name),
                             const_cast<char*>(path.folder), 0, FdiNotify,
                             nullptr, context) != FALSE;
  g_cabinet_library.destroy(fdi);
  // A library that gave up in the middle of a file may have left it open.
  context->fdi_file.Reset();
  return copied;
}

}  // namespace

RunOutcome CabinetExpander(const wchar_t* cabinet_path,
                           const HeldFile& cabinet, HANDLE folder,
                           const wchar_t* destination_name,
                           HeldFile* expanded) {
  const RunOutcome failed = MakeOutcome(ExitCode::SetupNotUnpacked);
  if (!LoadCabinetLibrary() || !LookUpEntryPoints()) return failed;
  FdiCabinetPath path;
  if (!SplitCabinetPath(cabinet_path, &path)) return failed;

  ExpansionContext context;
  context.folder = folder;
  context.destination = destination_name;
  context.expanded = expanded;
  context.cabinet_name = path.name_in_folder;
  context.cabinet = cabinet.identity;
  context.fdi_folder = path.folder;
  context.fdi_name = path.name;
  const bool copied = RunFdiCopy(path, &context);

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
  return whole ? kSuccessOutcome : failed;
}

}  // namespace installer
