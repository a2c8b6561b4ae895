// Tells how an installer's unpack stage would end where the installer lies,
// by running that stage itself: the installer is loaded as a data file, a
// work folder is made beside it exactly as the installer makes its own, its
// payload is unpacked into that folder with the installer's own code, and
// everything is removed again. Nothing else of a run happens: no setup
// program runs and nothing is written to the registry.
//
//   payload_probe INSTALLER.exe REPORT.txt
//
// The report is UTF-8, one "key=value" line each:
//   stage=module-path|work-folder|unpack   the stage that decided the outcome
//   exit-code=N
//   windows-error=N
//   archive-type=B7|BL|BN|(empty)          the type tags the search left
//   setup-type=B7|BL|BN|(empty)
//   work-folder=PATH                       (when one was made)
//   cleanup=complete|incomplete            (when one was made)
// and, once the work folder exists, what the installer's own search of its
// payload finds, so that its caller judges the very bytes a run writes out:
//   search-exit-code=N                     the search's own outcome
//   search-windows-error=N
//   archive-name=HEX, setup-name=HEX       each item's resource name, as
//                                          UTF-16 units of 4 hex digits
//   archive-size=N, setup-size=N           its size in bytes
//   archive-rva=N, setup-rva=N             where the image maps its bytes
//   archive-offset=N, setup-offset=N       where they lie in the file (only
//                                          when all of them lie there)
// An item that was not found is not named.
// As soon as the work folder exists, a first report names it (stage=unpack,
// exit-code=0): should the probe die while unpacking, its caller still knows
// what to remove. The last report replaces it. A crash while unpacking (a
// cabinet library that faults) ends the stage as it ends the installer's:
// what was unpacked is removed and the report says 125 with the exception's
// code.
// Exit codes: 0 report written, 1 the installer cannot be loaded or the
// report cannot be written (a message on stderr), 2 usage; a crash outside
// the unpack stage ends the probe at once with the exception's code,
// without waiting for a debugger.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cleanup/remove_with_retries.h"
#include "stub/crash_ending.h"
#include "stub/run_state.h"
#include "support/bounded_string.h"
#include "support/run_outcome.h"
#include "unpack/image_file.h"
#include "unpack/payload_name.h"
#include "unpack/payload_search.h"
#include "unpack/unpack_payload.h"
#include "unpack/work_folder.h"

namespace {

using installer::PathString;
using installer::RunOutcome;
using installer::TypeTagString;

std::string Utf8(const wchar_t* text) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr,
                      nullptr);
  bytes.resize(static_cast<size_t>(size) - 1);
  return bytes;
}

// A name as hexadecimal UTF-16 units: any name, whatever its characters
// (a line break, an unpaired surrogate), stays one line of the report.
std::string Hex(const wchar_t* text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (; *text != 0; ++text) {
    const unsigned unit = static_cast<unsigned short>(*text);
    for (int shift = 12; shift >= 0; shift -= 4) {
      hex += kDigits[(unit >> shift) & 0xF];
    }
  }
  return hex;
}

// One payload item as the search found it in the loaded image.
struct FoundItem {
  std::string name;  // hexadecimal UTF-16 units
  uint64_t size = 0;
  uint64_t rva = 0;
  bool in_file = false;
  uint64_t offset = 0;

  std::string Text(const char* role) const {
    if (size == 0) return {};
    const std::string key = role;
    std::string text = key + "-name=" + name + "\n" + key + "-size=" +
                       std::to_string(size) + "\n" + key + "-rva=" +
                       std::to_string(rva) + "\n";
    if (in_file) text += key + "-offset=" + std::to_string(offset) + "\n";
    return text;
  }
};

struct Report {
  const char* stage = "";
  RunOutcome outcome;
  std::string archive_type;
  std::string setup_type;
  std::string work_folder;
  bool cleaned_up = false;
  bool searched = false;
  RunOutcome search;
  FoundItem archive;
  FoundItem setup;

  std::string Text() const {
    std::string text = std::string("stage=") + stage + "\n" +
                       "exit-code=" + std::to_string(outcome.exit_code) +
                       "\n" + "windows-error=" +
                       std::to_string(outcome.windows_error) + "\n" +
                       "archive-type=" + archive_type + "\n" +
                       "setup-type=" + setup_type + "\n";
    if (!work_folder.empty()) {
      text += "work-folder=" + work_folder + "\n";
      text += std::string("cleanup=") +
              (cleaned_up ? "complete" : "incomplete") + "\n";
    }
    if (searched) {
      text += "search-exit-code=" + std::to_string(search.exit_code) + "\n" +
              "search-windows-error=" + std::to_string(search.windows_error) +
              "\n" + archive.Text("archive") + setup.Text("setup");
    }
    return text;
  }
};

FoundItem Describe(HMODULE image, const installer::ImageFile& file,
                   const installer::PathString& name,
                   const installer::PayloadItem& item) {
  FoundItem found;
  if (item.size == 0) return found;
  found.name = Hex(name.data());
  found.size = item.size;
  // The handle of an image mapped as a resource carries flags in its low
  // bits; the mapping starts below them.
  const uintptr_t base = reinterpret_cast<uintptr_t>(image) & ~uintptr_t{3};
  found.rva = reinterpret_cast<uintptr_t>(item.data) - base;
  found.in_file = file.Locate(item.data, item.size, &found.offset);
  return found;
}

// The installer's own search, run once more on its own: it writes nothing,
// and it finds what the unpack stage that follows finds.
void Search(HMODULE image, const wchar_t* image_path, Report* report) {
  installer::PayloadSearch search;
  installer::TypeTagString archive_type;
  installer::TypeTagString setup_type;
  report->search =
      installer::SearchPayload(image, &search, &archive_type, &setup_type);
  report->searched = true;
  installer::ImageFile file;
  file.Open(image, image_path);
  report->archive = Describe(image, file, search.archive_name, search.archive);
  report->setup = Describe(image, file, search.setup_name, search.setup);
}

// The installer reads its own path into a PathString and takes the folder
// from it. A path that does not fit ends its run with 108 and the
// ERROR_INSUFFICIENT_BUFFER that GetModuleFileNameW leaves then; the same
// path given here is judged by the same buffer.
bool FolderOf(const std::wstring& full_path, PathString* folder) {
  if (!folder->Copy(full_path.c_str())) return false;
  wchar_t* name = installer::AfterLastBackslash(folder->data(),
                                                folder->Length());
  if (name == folder->data()) return false;
  *name = 0;
  return true;
}

bool WriteReport(const wchar_t* path, const Report& report) {
  const std::string text = report.Text();
  FILE* file = _wfopen(path, L"wb");
  bool written = file != nullptr &&
                 std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr && std::fclose(file) != 0) written = false;
  return written;
}

// What a crash while unpacking needs: the stage's state and the report.
installer::RunState* g_unpacking;
Report* g_report;
const wchar_t* g_report_path;

// The type tags the search left, and whether the work folder is gone.
void FillReportFrom(const installer::RunState& run, Report* report) {
  report->archive_type = Utf8(run.archive_type.data());
  report->setup_type = Utf8(run.setup_type.data());
  report->cleaned_up =
      GetFileAttributesW(run.work_folder.data()) == INVALID_FILE_ATTRIBUTES;
}

// The installer's own stages from the work folder to its unpacked payload,
// then the removal of everything they made.
void Unpack(HMODULE image, const wchar_t* image_path, const PathString& folder,
            const wchar_t* report_path, Report* report) {
  report->stage = "work-folder";
  installer::RunState run;
  report->outcome = installer::CreateWorkFolder(
      folder.data(), &run.work_folder, &run.work_folder_hold);
  if (!report->outcome.Succeeded()) return;
  run.work_folder_made = true;
  report->work_folder = Utf8(run.work_folder.data());

  report->stage = "unpack";
  WriteReport(report_path, *report);
  g_report_path = report_path;
  g_report = report;
  g_unpacking = &run;
  // Where the installer's own search would crash, so does this one, and
  // the stage ends as the installer's does.
  Search(image, image_path, report);
  run.image.Open(image, image_path);
  report->outcome = installer::UnpackPayload(
      image, &run.image, run.work_folder.data(),
      run.work_folder_hold.handle.get(), &run.setup_path, &run.setup_type,
      &run.archive_path, &run.archive_type, &run.max_delete_attempts,
      &run.archive_hold, &run.setup_hold, &run.expanded_hold);
  g_unpacking = nullptr;

  installer::RemoveUnpackedFiles(run.archive_path.data(),
                                 run.setup_path.data(),
                                 run.work_folder.data(),
                                 &run.max_delete_attempts, &run.archive_hold,
                                 &run.setup_hold, &run.work_folder_hold);
  FillReportFrom(run, report);
}

// False when the installer cannot be loaded; the report then holds nothing.
bool Probe(const std::wstring& full_path, const wchar_t* report_path,
           Report* report) {
  PathString folder;
  report->stage = "module-path";
  if (!FolderOf(full_path, &folder)) {
    report->outcome = installer::MakeOutcome(
        installer::ExitCode::PathTooLong, ERROR_INSUFFICIENT_BUFFER);
    return true;
  }
  // Resource lookups on this handle see the same table as the installer's
  // lookups on its own image; nothing of the image runs.
  HMODULE image = LoadLibraryExW(
      full_path.c_str(), nullptr,
      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return false;
  Unpack(image, full_path.c_str(), folder, report_path, report);
  FreeLibrary(image);
  return true;
}

// Damaged cabinet data can crash the platform's cabinet library (Wine's
// does, on some damaged MSZIP blocks). While unpacking, the stage ends as
// the installer's crash ending ends it; elsewhere the probe ends at once, so
// that its caller can clean up instead of waiting for a debugger.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception) {
  static volatile LONG ending;
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (InterlockedExchange(&ending, 1) != 0 || g_unpacking == nullptr) {
    TerminateProcess(GetCurrentProcess(), code);
  }
  installer::ReleaseCrashedRun(g_unpacking, true);
  g_report->outcome =
      installer::MakeOutcome(installer::ExitCode::RunCrashed, code);
  FillReportFrom(*g_unpacking, g_report);
  TerminateProcess(GetCurrentProcess(),
                   WriteReport(g_report_path, *g_report) ? 0 : 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main() {
  SetUnhandledExceptionFilter(EndOnCrash);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 3) {
    std::fprintf(stderr, "usage: payload_probe INSTALLER.exe REPORT.txt\n");
    return 2;
  }
  const DWORD needed = GetFullPathNameW(argv[1], 0, nullptr, nullptr);
  std::wstring full_path(needed, L'\0');
  if (needed == 0 ||
      GetFullPathNameW(argv[1], needed, full_path.data(), nullptr) >= needed) {
    std::fprintf(stderr, "payload_probe: bad installer path, error %lu\n",
                 GetLastError());
    return 1;
  }
  full_path.resize(needed - 1);

  Report report;
  if (!Probe(full_path, argv[2], &report)) {
    std::fprintf(stderr, "payload_probe: cannot load the installer, "
                 "error %lu\n", GetLastError());
    return 1;
  }

  if (!WriteReport(argv[2], report)) {
    std::fprintf(stderr, "payload_probe: cannot write the report\n");
    return 1;
  }
  LocalFree(argv);
  return 0;
}
