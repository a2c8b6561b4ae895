// cabinet.dll for the tests: Wine's own cabinet library, held to the
// contract that Microsoft documents for FDI where Wine is laxer. It forwards
// FDICreate, FDICopy and FDIDestroy to Wine's library, copied beside it as
// wine_cabinet.dll, and:
//  - ends FDICopy with FALSE and the error record set when the caller
//    answers fdintCLOSE_FILE_INFO with FALSE or -1 (FDIERROR_USER_ABORT), or
//    when its write callback writes fewer bytes than it was given
//    (FDIERROR_TARGET_FILE); Wine's library goes on in both cases;
//  - after such an abort gives the caller no further notification and no
//    further write;
//  - hands fdintCLOSE_FILE_INFO the attributes without _A_EXEC.
// Where the contract is silent it takes the reading that asks most of the
// caller: a file given up on after an abort is not closed for it.
//
// One FDI context at a time, on one thread: the callbacks reach the caller's
// through globals, as FDI gives them no user value. STRICT_CABINET_LOG, when
// set, names a file that gets one line per FDICopy, so that a test can tell
// that this library served a process it started.
//
// STRICT_CABINET_FAULT makes it a library that crashes, as a damaged or
// defective one may: "copy" faults inside FDICopy once the caller's
// destination holds data; "notify" hands the caller's notification callback
// a null record, so that the fault is raised in the caller's own code with
// the library's frames beneath it; "handled" raises a fault inside FDICopy
// and handles it itself, as libraries do, before going on as usual;
// "overflow" recurses inside FDICopy, once the caller's destination holds
// data, until the thread's stack is used up; "held" first opens the archive
// beside the cabinet (KORVEL.PACKED.7Z) without sharing its deletion, as a
// scanner may, and keeps it, then faults as "copy" does: whoever removes
// the archive then waits until the process ends.
#include <windows.h>

#include "unpack/fdi_interface.h"

namespace {

using installer::FdiCopyFunction;
using installer::FdiCreateFunction;
using installer::FdiDestroyFunction;
using installer::FdiErrorRecord;
using installer::FdiNotification;
using installer::FdiNotificationType;
using installer::FdiNotifyFunction;
using installer::FdiWriteFunction;
using installer::HFDI;

constexpr int kTargetFileError = 8;  // FDIERROR_TARGET_FILE
constexpr int kUserAbortError = 11;  // FDIERROR_USER_ABORT
constexpr USHORT kExecuteAttribute = 0x40;  // _A_EXEC

struct RealLibrary {
  FdiCreateFunction* create = nullptr;
  FdiCopyFunction* copy = nullptr;
  FdiDestroyFunction* destroy = nullptr;
};

RealLibrary g_real;
FdiWriteFunction* g_caller_write = nullptr;
FdiErrorRecord* g_caller_error = nullptr;
FdiNotifyFunction* g_caller_notify = nullptr;
int g_abort = 0;  // the FDIERROR of the abort, 0 while none

template <typename Function>
Function* Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool LoadRealLibrary() {
  if (g_real.create != nullptr) return true;
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH - 32);
  if (length == 0 || length >= MAX_PATH - 32) return false;
  lstrcatW(path, L"\\wine_cabinet.dll");
  const HMODULE module =
      LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return false;
  g_real.create = Export<FdiCreateFunction>(module, "FDICreate");
  g_real.copy = Export<FdiCopyFunction>(module, "FDICopy");
  g_real.destroy = Export<FdiDestroyFunction>(module, "FDIDestroy");
  return g_real.create != nullptr && g_real.copy != nullptr &&
         g_real.destroy != nullptr;
}

void Log(const char* cabinet, BOOL result) {
  wchar_t path[MAX_PATH];
  const DWORD length =
      GetEnvironmentVariableW(L"STRICT_CABINET_LOG", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[MAX_PATH + 64];
  const int size = wsprintfA(line, "FDICopy %s %s %d\n", cabinet,
                             result ? "TRUE" : "FALSE", g_abort);
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
}

void Abort(int error) {
  if (g_abort == 0) g_abort = error;
}

enum class Fault { kNone, kCopy, kNotify, kHandled, kOverflow, kHeld };

Fault RequestedFault() {
  char text[16];
  const DWORD length =
      GetEnvironmentVariableA("STRICT_CABINET_FAULT", text, sizeof(text));
  if (length == 0 || length >= sizeof(text)) return Fault::kNone;
  if (lstrcmpA(text, "copy") == 0) return Fault::kCopy;
  if (lstrcmpA(text, "notify") == 0) return Fault::kNotify;
  if (lstrcmpA(text, "handled") == 0) return Fault::kHandled;
  if (lstrcmpA(text, "overflow") == 0) return Fault::kOverflow;
  if (lstrcmpA(text, "held") == 0) return Fault::kHeld;
  return Fault::kNone;
}

Fault g_fault = Fault::kNone;

// An access violation at address zero, which the compiler cannot see
// through.
void FaultHere() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

// Recursion that ends only where the stack does and cannot be turned into
// a loop: every frame is used after the call it makes.
__attribute__((noinline)) int UseUpTheStack(volatile char* caller) {
  volatile char frame[4096];
  frame[0] = caller != nullptr ? caller[0] : 1;
  if (frame[0] == 0) return 0;
  return UseUpTheStack(frame) + frame[sizeof(frame) - 1];
}

// Where the recursion starts below a page boundary. Wine delivers the
// overflow only while enough of the stack is left for its dispatch and the
// installer's crash ending (it keeps, but does not honour, the reserve the
// installer asks for); under Wine 8 starting 512 to 1280 bytes below a page
// boundary leaves that much, and this is the middle of that range.
constexpr uintptr_t kOverflowStart = 896;

// Starts the recursion at a fixed distance below a page boundary, so that
// where it meets the end of the stack, and how much stack is left there,
// does not depend on how deep the caller's frames happen to be.
__attribute__((noinline)) void UseUpTheStackFromAPage() {
  volatile char probe = 0;
  const uintptr_t offset = reinterpret_cast<uintptr_t>(&probe) & 0xFFF;
  volatile char* pad = static_cast<volatile char*>(
      __builtin_alloca(offset + kOverflowStart));
  pad[0] = 1;
  UseUpTheStack(pad);
}

}  // namespace

extern "C" {

static UINT __cdecl StrictWrite(INT_PTR file, void* buffer, UINT count) {
  if (g_abort != 0) return static_cast<UINT>(-1);
  const UINT written = g_caller_write(file, buffer, count);
  if (g_fault == Fault::kCopy || g_fault == Fault::kHeld) FaultHere();
  if (g_fault == Fault::kOverflow) UseUpTheStackFromAPage();
  if (written != count) Abort(kTargetFileError);
  return written;
}

static INT_PTR __cdecl StrictNotify(FdiNotificationType type,
                             FdiNotification* notification) {
  if (g_abort != 0) return -1;
  if (type == installer::kFdiCopyFile && g_fault == Fault::kNotify) {
    return g_caller_notify(type, nullptr);
  }
  if (type != installer::kFdiCloseFileInfo) {
    return g_caller_notify(type, notification);
  }
  FdiNotification documented = *notification;
  documented.attributes &= static_cast<USHORT>(~kExecuteAttribute);
  const INT_PTR answer = g_caller_notify(type, &documented);
  if (answer == FALSE || answer == -1) Abort(kUserAbortError);
  return answer;
}

__declspec(dllexport) HFDI __cdecl FDICreate(
    installer::FdiAllocFunction* alloc, installer::FdiFreeFunction* free,
    installer::FdiOpenFunction* open, installer::FdiReadFunction* read,
    FdiWriteFunction* write, installer::FdiCloseFunction* close,
    installer::FdiSeekFunction* seek, int cpu_type, FdiErrorRecord* error) {
  if (!LoadRealLibrary()) {
    Log("(wine_cabinet.dll cannot be loaded)", FALSE);
    return nullptr;
  }
  g_caller_write = write;
  g_caller_error = error;
  return g_real.create(alloc, free, open, read, StrictWrite, close, seek,
                       cpu_type, error);
}

__declspec(dllexport) BOOL __cdecl FDICopy(HFDI context, char* cabinet_name,
                                           char* cabinet_folder, int flags,
                                           FdiNotifyFunction* notify,
                                           installer::FdiDecryptFunction* decrypt,
                                           void* user_value) {
  g_caller_notify = notify;
  g_abort = 0;
  g_fault = RequestedFault();
  if (g_fault == Fault::kHeld) {
    char archive[MAX_PATH];
    if (lstrlenA(cabinet_folder) + 17 < MAX_PATH) {
      lstrcpyA(archive, cabinet_folder);
      lstrcatA(archive, "KORVEL.PACKED.7Z");
      // Never closed: the process's end lets go of it.
      CreateFileA(archive, GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
  }
  if (g_fault == Fault::kHandled) {
    // The system's own probe raises the access violation and handles it.
    IsBadReadPtr(nullptr, 1);
  }
  BOOL result = g_real.copy(context, cabinet_name, cabinet_folder, flags,
                            StrictNotify, decrypt, user_value);
  if (g_abort != 0) {
    g_caller_error->error_operation = g_abort;
    g_caller_error->error_type = 0;
    g_caller_error->has_error = TRUE;
    result = FALSE;
  }
  Log(cabinet_name, result);
  return result;
}

__declspec(dllexport) BOOL __cdecl FDIDestroy(HFDI context) {
  return g_real.destroy(context);
}

// Lets a test tell this library from Wine's.
__declspec(dllexport) int __cdecl StrictCabinetContract() { return 1; }

}  // extern "C"
