// The benchmark's fair floor: the least that any installer of this payload
// does on Windows. It carries the archive and an uncompressed setup.exe as
// resources, laid out as the stub's installer lays them out, makes a folder
// beside itself, writes both files into it, runs setup with the stub's
// command line, waits, deletes what it wrote and exits with setup's code. No
// settings, no security descriptor, no registry, no cabinet, no retries;
// kernel32 only. Used by the benchmark, not by the tests.
//
//   Installer.exe               writes from the mapped resources
//   Installer.exe --read-write  reads its own file through a 1 MiB buffer
//   Installer.exe --copy-file   CopyFileW from FLOOR_ARCHIVE and FLOOR_SETUP
//
// Exit code: setup's, or 200 + the step that failed.
#include <windows.h>

#include <stdint.h>

namespace {

constexpr wchar_t kArchiveName[] = L"KORVEL.PACKED.7Z";
constexpr wchar_t kSetupName[] = L"SETUP.EXE";
constexpr wchar_t kWorkName[] = L"FLOOR_WORK.tmp\\";
constexpr DWORD kMappedChunk = 8 << 20;
constexpr DWORD kBufferSize = 1 << 20;
constexpr DWORD kPath = 1024;

enum class Variant { kMappedView, kReadWrite, kCopyFile };

bool Contains(const wchar_t* text, const wchar_t* part) {
  for (; *text != 0; ++text) {
    const wchar_t* a = text;
    const wchar_t* b = part;
    while (*b != 0 && *a == *b) ++a, ++b;
    if (*b == 0) return true;
  }
  return false;
}

void Append(wchar_t* path, const wchar_t* text) {
  while (*path != 0) ++path;
  while ((*path++ = *text++) != 0) {
  }
}

HANDLE CreateOutput(const wchar_t* path) {
  return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                     FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

bool WriteAll(HANDLE file, const uint8_t* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool FindItem(const wchar_t* type, const wchar_t* name, const uint8_t** data,
              DWORD* size) {
  HRSRC resource = FindResourceW(nullptr, name, type);
  if (resource == nullptr) return false;
  *size = SizeofResource(nullptr, resource);
  *data = static_cast<const uint8_t*>(
      LockResource(LoadResource(nullptr, resource)));
  return *data != nullptr;
}

bool WriteMapped(const uint8_t* data, DWORD size, const wchar_t* path) {
  HANDLE file = CreateOutput(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (DWORD done = 0; ok && done < size;) {
    const DWORD chunk =
        size - done < kMappedChunk ? size - done : kMappedChunk;
    ok = WriteAll(file, data + done, chunk);
    done += chunk;
  }
  CloseHandle(file);
  return ok;
}

// The file offset of mapped resource bytes, from the section table.
uint64_t FileOffsetOf(const uint8_t* data) {
  const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  const uint64_t rva = static_cast<uint64_t>(data - base);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (rva >= section->VirtualAddress &&
        rva < section->VirtualAddress + section->SizeOfRawData) {
      return section->PointerToRawData + (rva - section->VirtualAddress);
    }
  }
  return 0;
}

bool WriteRead(HANDLE image, uint8_t* buffer, const uint8_t* data, DWORD size,
               const wchar_t* path) {
  const uint64_t offset = FileOffsetOf(data);
  HANDLE file = CreateOutput(path);
  if (offset == 0 || file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (DWORD done = 0; ok && done < size;) {
    const DWORD chunk = size - done < kBufferSize ? size - done : kBufferSize;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD read = 0;
    ok = ReadFile(image, buffer, chunk, &read, &at) && read == chunk &&
         WriteAll(file, buffer, chunk);
    done += chunk;
  }
  CloseHandle(file);
  return ok;
}

}  // namespace

extern "C" void FloorEntry() {
  static wchar_t module[kPath];
  static wchar_t work[kPath];
  static wchar_t archive[kPath];
  static wchar_t setup[kPath];
  static wchar_t line[4 * kPath];
  const wchar_t* command_line = GetCommandLineW();
  const Variant variant = Contains(command_line, L"--read-write")
                              ? Variant::kReadWrite
                          : Contains(command_line, L"--copy-file")
                              ? Variant::kCopyFile
                              : Variant::kMappedView;
  const DWORD length = GetModuleFileNameW(nullptr, module, kPath);
  if (length == 0 || length >= kPath) ExitProcess(201);
  Append(work, module);
  wchar_t* name = work;
  for (wchar_t* at = work; *at != 0; ++at) {
    if (*at == L'\\') name = at + 1;
  }
  *name = 0;
  Append(work, kWorkName);
  if (!CreateDirectoryW(work, nullptr)) ExitProcess(202);
  Append(archive, work);
  Append(archive, kArchiveName);
  Append(setup, work);
  Append(setup, L"setup.exe");

  bool written = false;
  if (variant == Variant::kCopyFile) {
    static wchar_t archive_source[kPath];
    static wchar_t setup_source[kPath];
    written =
        GetEnvironmentVariableW(L"FLOOR_ARCHIVE", archive_source, kPath) &&
        GetEnvironmentVariableW(L"FLOOR_SETUP", setup_source, kPath) &&
        CopyFileW(archive_source, archive, TRUE) &&
        CopyFileW(setup_source, setup, TRUE);
  } else {
    const uint8_t* archive_data = nullptr;
    const uint8_t* setup_data = nullptr;
    DWORD archive_size = 0;
    DWORD setup_size = 0;
    if (!FindItem(L"B7", kArchiveName, &archive_data, &archive_size) ||
        !FindItem(L"BN", kSetupName, &setup_data, &setup_size)) {
      ExitProcess(203);
    }
    if (variant == Variant::kMappedView) {
      written = WriteMapped(archive_data, archive_size, archive) &&
                WriteMapped(setup_data, setup_size, setup);
    } else {
      HANDLE image = CreateFileW(module, GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      auto* buffer = static_cast<uint8_t*>(VirtualAlloc(
          nullptr, kBufferSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
      written = image != INVALID_HANDLE_VALUE && buffer != nullptr &&
                WriteRead(image, buffer, archive_data, archive_size,
                          archive) &&
                WriteRead(image, buffer, setup_data, setup_size, setup);
      CloseHandle(image);
    }
  }
  if (!written) ExitProcess(204);

  Append(line, L"\"");
  Append(line, setup);
  Append(line, L"\" --install-archive=\"");
  Append(line, archive);
  Append(line, L"\"");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(setup, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    ExitProcess(205);
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 206;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  DeleteFileW(archive);
  DeleteFileW(setup);
  RemoveDirectoryW(work);
  ExitProcess(exit_code);
}
