"""The stub's image linked anew from the build's static libraries and
resource script: the bare stub itself (which the build links through the
packing command, --no-payload) and the layouts for tests (--map,
--page-aligned-sections), which need the project's own build and its
toolchain. Installers are not linked: packing lays the payload into a copy
of the bare stub. Also the bringing up to date of that build, which
packing from the project does first."""

import os
import shutil
import subprocess
import sys

from .image_writer import PAGE_SIZE, lay_out_sections
from .layout import SOURCE_DIR
from .pack_rules import refuse, run_tool


# Everything the stub's image is linked with, in one place. The entry
# library is taken whole: nothing else refers to the entry point or to the
# routines the compiler calls on its own, and the link must keep them.
ENTRY_LIBRARY = "stub/libstub_entry.a"
STUB_LIBRARIES = [
    "stub/libstub_core.a",
    "launch/libstub_launch.a",
    "unpack/libstub_unpack.a",
    "cleanup/libstub_cleanup.a",
    "support/libstub_support.a",
]
GENERATED_ICON = "resources/installer.ico"


# What packing needs from the build: the bare stub, the stub's libraries and
# the icon (for the test layouts), and the probe that the inspection runs.
BUILD_TARGETS = ["installer_stub", "stub_entry", "stub_core", "stub_launch",
                 "stub_unpack", "stub_cleanup", "stub_support",
                 "installer_icon", "payload_probe"]


# The commands the build needs; scripts/install-deps brings them.
TOOLCHAIN = ["cmake", "ninja", "x86_64-w64-mingw32-gcc-posix",
             "x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres"]
INSTALL_TOOLCHAIN = "make deps (as root; it runs scripts/install-deps)"


# The header says what the image is: a program for Windows Vista (6.0) and
# later, which it is by the functions it calls; one that keeps no per-session
# state of its own, so that Terminal Services leave its INI and registry
# paths alone (TERMINAL_SERVER_AWARE).
LINK_FLAGS = [
    "-flto", "-Os", "-nostdlib", "-nostartfiles", "-mwindows",
    "-Wl,--subsystem,windows:6.0",
    "-Wl,--major-os-version,6", "-Wl,--minor-os-version,0",
    "-Wl,--tsaware",
    "-Wl,-e,InstallerEntry", "-s", "-Wl,--gc-sections",
    "-Wl,--no-insert-timestamp",
]


# shell32 is not among them: the stub loads it only when a run has arguments
# to split.
SYSTEM_LIBRARIES = ["-lkernel32", "-ladvapi32"]


def tool(variable, default):
    return os.environ.get(variable) or default


def rc_string(text):
    return '"' + text.replace('"', '""') + '"'


def link_image(build_dir, resources, output, map_file, page_aligned=True,
               finish=None, file_alignment=None, payload=()):
    """Links the image to a temporary name beside `output`, lays out its
    sections with the `payload` items (type, name, file) among its
    resources, lets `finish` (if given) complete the temporary file, then
    renames it. A `file_alignment` of 4096 (for tests) puts every section on
    a page boundary of the file, so that Wine maps the code from the file as
    Windows always does; Wine reads the sections of other images into
    private memory."""
    libraries = [os.path.join(build_dir, p)
                 for p in [ENTRY_LIBRARY] + STUB_LIBRARIES]
    for library in libraries:
        if not os.path.isfile(library):
            refuse(f"stub library {library!r} is missing; build the stub "
                   "with 'make build' or name its build folder with "
                   "--build-dir")
    partial = f"{output}.partial-{os.getpid()}"
    command = ([tool("STUB_CC", "x86_64-w64-mingw32-gcc-posix")] + LINK_FLAGS +
               ["-o", partial, resources,
                "-Wl,--whole-archive", libraries[0], "-Wl,--no-whole-archive",
                "-Wl,--start-group"] + libraries[1:] + ["-Wl,--end-group"] +
               SYSTEM_LIBRARIES)
    if map_file:
        # The image itself is stripped; the map still tells where each
        # symbol, the entry point among them, was placed.
        command.append("-Wl,-Map," + os.path.abspath(map_file))
    if file_alignment:
        command.append(f"-Wl,--file-alignment,{file_alignment}")
    try:
        run_tool(command, "linking")
        lay_out_sections(partial, page_aligned, payload)
        if finish is not None:
            finish(partial)
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def link_with_toolchain(build_dir, work, output, payload, previous_version,
                        finish, map_file=None, page_aligned_sections=False):
    """The installer linked anew from the stub's libraries and resources,
    with the previous-version text (RT_RCDATA 1, English) in its resource
    script: the bare stub itself, and the layouts for tests."""
    script = ['#include "installer.rc"']
    if previous_version is not None:
        version_file = os.path.join(work, "previous-version.bin")
        with open(version_file, "wb") as f:
            f.write(previous_version)
        script += ["LANGUAGE 0x09, 0x01",
                   f"1 RCDATA {rc_string(version_file)}"]
    rc_file = os.path.join(work, "installer-payload.rc")
    with open(rc_file, "w") as f:
        f.write("\n".join(script) + "\n")

    icon = os.path.join(build_dir, GENERATED_ICON)
    if not os.path.isfile(icon):
        refuse(f"icon {icon!r} is missing; build the stub with 'make "
               "build' or name its build folder with --build-dir")
    resources = os.path.join(work, "resources.o")
    run_tool([tool("STUB_WINDRES", "x86_64-w64-mingw32-windres"),
              "-I", os.path.join(SOURCE_DIR, "resources"),
              "-I", os.path.dirname(icon),
              "-i", rc_file, "-o", resources], "windres")
    link_image(build_dir, resources, output, map_file,
               page_aligned=bool(payload), finish=finish,
               file_alignment=PAGE_SIZE if page_aligned_sections else None,
               payload=payload)


def ensure_build(build_dir):
    """Configures `build_dir` with the preset of `make build` when it has no
    build yet, then brings what packing needs up to date, saying one line
    when that does any work."""
    missing = [command for command in TOOLCHAIN
               if shutil.which(command) is None]
    if missing or not os.path.isfile("/usr/src/googletest/CMakeLists.txt"):
        what = ", ".join(missing) or "GoogleTest's sources"
        refuse(f"the stub cannot be built: {what} missing. Install the "
               f"toolchain with {INSTALL_TOOLCHAIN}")
    fresh = not os.path.isfile(os.path.join(build_dir, "build.ninja"))
    if fresh:
        print(f"pack-installer: building the stub in {build_dir} (cmake "
              "--preset default; under a minute)",
              file=sys.stderr, flush=True)
        run_tool(["cmake", "--preset", "default", "-B", build_dir],
                 "configuring the build", cwd=SOURCE_DIR)
    result = subprocess.run(
        ["cmake", "--build", build_dir, "--target"] + BUILD_TARGETS,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        refuse(f"building the stub failed:\n{result.stdout}")
    if not fresh and "no work to do" not in result.stdout:
        print(f"pack-installer: rebuilt the stub in {build_dir}, which was "
              "out of date", file=sys.stderr, flush=True)
