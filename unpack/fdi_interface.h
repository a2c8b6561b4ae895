// The part of the cabinet library's file-decompression interface (FDI) that
// the stub uses, declared here because the stub loads "cabinet.dll" at run
// time and builds with the Windows headers alone. The records keep the
// library's own layout: 4-byte packing, which on x86-64 puts the notification
// record's first pointer at offset 4. All callbacks use the C calling
// convention (on x86-64 there is only one).
#ifndef UNPACK_FDI_INTERFACE_H_
#define UNPACK_FDI_INTERFACE_H_

#include <stddef.h>
#include <windows.h>

namespace installer {

// FDI's error record. The stub hands it over zero-filled and never reads it.
struct FdiErrorRecord {
  int error_operation;  // erfOper
  int error_type;       // erfType
  BOOL has_error;       // fError
};

enum FdiNotificationType : int {
  kFdiCabinetInfo = 0,    // fdintCABINET_INFO
  kFdiPartialFile = 1,    // fdintPARTIAL_FILE
  kFdiCopyFile = 2,       // fdintCOPY_FILE
  kFdiCloseFileInfo = 3,  // fdintCLOSE_FILE_INFO
  kFdiNextCabinet = 4,    // fdintNEXT_CABINET
  kFdiEnumerate = 5,      // fdintENUMERATE
};

// FDINOTIFICATION.
struct FdiNotification {
  LONG size;           // cb: the file's uncompressed size
  char* text1;         // psz1: the file's name in the cabinet, or the next
                       // cabinet's name
  char* text2;         // psz2
  char* text3;         // psz3
  void* user_value;    // pv: the value given to FDICopy
  INT_PTR file;        // hf: the handle returned for fdintCOPY_FILE
  USHORT dos_date;     // date
  USHORT dos_time;     // time
  USHORT attributes;   // attribs
  USHORT set_id;       // setID
  USHORT cabinet_index;  // iCabinet
  USHORT folder_index;   // iFolder
  int fdi_error;         // fdie
};

static_assert(sizeof(FdiErrorRecord) == 12, "ERF layout");
static_assert(offsetof(FdiNotification, text1) == 8, "FDINOTIFICATION layout");
static_assert(offsetof(FdiNotification, user_value) == 32,
              "FDINOTIFICATION layout");
static_assert(offsetof(FdiNotification, file) == 40, "FDINOTIFICATION layout");
static_assert(offsetof(FdiNotification, dos_date) == 48,
              "FDINOTIFICATION layout");
static_assert(offsetof(FdiNotification, fdi_error) == 60,
              "FDINOTIFICATION layout");
static_assert(sizeof(FdiNotification) == 64, "FDINOTIFICATION layout");

using HFDI = void*;

extern "C" {
using FdiAllocFunction = void* __cdecl(ULONG size);
using FdiFreeFunction = void __cdecl(void* block);
using FdiOpenFunction = INT_PTR __cdecl(char* name, int open_flags, int mode);
using FdiReadFunction = UINT __cdecl(INT_PTR file, void* buffer, UINT count);
using FdiWriteFunction = UINT __cdecl(INT_PTR file, void* buffer, UINT count);
using FdiCloseFunction = int __cdecl(INT_PTR file);
using FdiSeekFunction = LONG __cdecl(INT_PTR file, LONG distance, int method);
using FdiNotifyFunction = INT_PTR __cdecl(FdiNotificationType type,
                                          FdiNotification* notification);
// The decryption callback is never used; only its slot is passed.
using FdiDecryptFunction = int __cdecl(void* decrypt_record);

using FdiCreateFunction = HFDI __cdecl(
    FdiAllocFunction* alloc, FdiFreeFunction* free, FdiOpenFunction* open,
    FdiReadFunction* read, FdiWriteFunction* write, FdiCloseFunction* close,
    FdiSeekFunction* seek, int cpu_type, FdiErrorRecord* error);
using FdiCopyFunction = BOOL __cdecl(HFDI context, char* cabinet_name,
                                     char* cabinet_folder, int flags,
                                     FdiNotifyFunction* notify,
                                     FdiDecryptFunction* decrypt,
                                     void* user_value);
using FdiDestroyFunction = BOOL __cdecl(HFDI context);
}

// cpuUNKNOWN: the library picks the decoder itself.
inline constexpr int kFdiCpuUnknown = -1;

// Open flags that FDI passes to the open callback (the C runtime's _O_ bits).
inline constexpr int kFdiOpenWriteOnly = 0x1;
inline constexpr int kFdiOpenReadWrite = 0x2;
inline constexpr int kFdiOpenCreate = 0x100;

}  // namespace installer

#endif  // UNPACK_FDI_INTERFACE_H_
