"""Where the release tools run from: the project, whose build folder holds
the bare stub and the probe, or the release kit, which carries both beside
scripts/ and has no sources to build."""
import os

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
# The stub's image as the build links it, with its own resources and no
# payload: an installer is this image with the payload laid into its
# resource section, so that packing needs no compiler, resource compiler or
# linker. Only the layouts for tests (--map, --page-aligned-sections) link
# the image anew.
BARE_STUB = "stub/installer_stub.exe"


def is_kit():
    """True when the tools run from the release kit."""
    return (os.path.isfile(os.path.join(SOURCE_DIR, BARE_STUB)) and
            not os.path.isfile(os.path.join(SOURCE_DIR, "CMakeLists.txt")))


def default_build_dir():
    """The folder holding the bare stub and the probe: the kit's own, or
    build/ beside scripts/."""
    return SOURCE_DIR if is_kit() else os.path.join(SOURCE_DIR, "build")
