"""Shows what a built installer carries and how its unpack stage would end.

    inspect-installer [--build-dir DIR] [--timeout SECONDS] [--quiet] FILE

Lists the payload resources (types "B7", "BL", "BN" and the previous-version
resource RT_RCDATA 1) with their names, languages, sizes and what each holds
(a 7z archive's format version; a cabinet's format version, its folders'
compression, its files and which one runs as setup.exe, the last; a
program's machine, manifest and whether Windows would start it from the
installer), the previous-version text, the installer's own manifest's
requestedExecutionLevel and whether the image carries an Authenticode
signature.

What is judged is what the installer itself finds: the probe (below) runs
the installer's own search of its payload and says which resources it took
and where their bytes lie, and this listing, which reads the resource
directory as the loader reads it, must find the same; where the two differ,
a "not judged:" line says so and no success is predicted.

Then a "defect:" line for each thing the run would fail on after unpacking,
which the unpack stage itself cannot see: an archive that is not whole as
far as its headers tell, a cabinet of several files (each is expanded into
setup.exe, so the last one runs) or whose file that runs is no program, a
setup program that Windows starts in no run of the installer (a DLL, a
driver, another machine, a manifest that is not XML or asks for uiAccess),
a patch that is a program or a cabinet. A "not judged:" line for each thing
that could not be judged here (a setup program that lies too deep in its
cabinet, a manifest above 1 MiB, an archive test that did not finish): no
success is predicted then. The last line is the predicted outcome, followed
on a failure of unpacking by its cause and what to do:

    outcome: success archive-type=B7 setup-type=BL road=plain
    outcome: failure after-unpacking archive-type=B7 setup-type=BL road=plain (...)
    outcome: failure exit-code=112 windows-error=68 (...)
    advice: ...

The road is "self-update" when the setup program came from type "B7" (a
patch that the installed setup program turns into a new one), else "plain".
--quiet prints only the defects, what was not judged, the outcome and the
advice. The file is mapped, not read, so inspecting takes the same memory
whatever its size; a cabinet's file is expanded into a temporary file, and
only when reaching it takes expanding at most 128 MiB, or 16 times the
cabinet's own size.

The prediction is not worked out here: payload_probe, built from the stub's
own libraries, runs the stub's unpack stage on FILE (natively on Windows,
under Wine elsewhere; where there is neither, nothing is predicted and the
listing says so), into a work folder made beside FILE as the installer makes
its own, and removes it again. So path-length failures are predicted for
where FILE lies, and FILE's folder needs room for the unpacked payload for a
moment. The probe is taken from the build folder (default: build/ beside
this script's folder, or the release kit's own folder). WINEPREFIX is
used as set; when unset, the prefix DIR/inspect-wineprefix is used, created
when missing (and its wineserver stopped afterwards). A crash while
unpacking (damaged cabinet data can crash Wine's cabinet library) is
predicted as the installer ends it: exit code 125 with the exception's code.
A probe that has not ended after --timeout seconds (default 120) is
stopped; a probe that dies otherwise or is stopped gives no prediction, and
the work folder it left beside FILE is removed. A probe run that Wine itself
failed, saying so, is run again, three runs at most. The archive's data is
tested with the real 7z meanwhile, within the same time.

Exit status: 0 success predicted, 1 failure predicted (of unpacking or
after it), 2 usage error or FILE is not a PE image, 3 no prediction could
be made (probe not built, Wine failed, the image cannot be loaded, or what
the run needs could not be judged), 4 no prediction because this machine
has neither Windows nor Wine, 5 the inspector itself failed, 6 not probed:
a payload resource's name is no name the installer makes a file of (a way
out of its work folder, a stream, a device, a trailing dot), which the
installer refuses (exit code 112 or 115, Windows error 123) and on which
the probe, which runs the installer's own code on this machine, is not run.
"""


import os

from .command_line import escape_unshowable_names, parser_for
from .inspection import PROBE_TIMEOUT, inspect_safely
from .layout import default_build_dir
from .probe import PROBE


EXAMPLE = """\
exit status:
  0 success predicted, 1 failure predicted, 2 usage error or FILE is not a
  PE image, 3 no prediction (probe not built, Wine failed, the probe died or
  ran out of time, or what the run needs was not all judged), 4 no
  prediction: neither Windows nor Wine here, 5 the inspector itself failed,
  6 not probed: a payload name the installer refuses (a way out of its
  work folder, a stream, a device)

example:
  What an installer carries, and whether it would unpack from the folder
  users run it from (the prediction needs room there for a moment):

    scripts/pack-installer --archive product.7z --setup setup.exe \\
        --output ~/Downloads/Installer.exe
    scripts/inspect-installer ~/Downloads/Installer.exe

  In a release script, only the verdict:

    scripts/inspect-installer --quiet Installer.exe || exit 1"""


def parser():
    made = parser_for("inspect-installer", __doc__, EXAMPLE)
    made.add_argument(
        "file", metavar="FILE",
        help="the installer to inspect; its unpacking is predicted where it "
             "lies")
    made.add_argument(
        "--build-dir", metavar="DIR",
        help="the build folder holding the probe "
             f"({PROBE.replace(os.sep, '/')}); default: build/ beside "
             "scripts/")
    made.add_argument(
        "--quiet", action="store_true",
        help="print only the defects, the predicted outcome and its advice; "
             "default: the listing too")
    made.add_argument(
        "--timeout", type=float, default=PROBE_TIMEOUT, metavar="SECONDS",
        help="stop a probe that has not ended by then and give no "
             f"prediction; default: {PROBE_TIMEOUT}")
    return made


def main(argv=None):
    args = parser().parse_args(argv)
    escape_unshowable_names()
    build_dir = os.path.abspath(args.build_dir or default_build_dir())
    return inspect_safely(args.file, build_dir, args.timeout, args.quiet)
