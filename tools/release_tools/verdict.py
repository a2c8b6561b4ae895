"""The verdict of an inspection: the outcome line, predicted from the
probe's report and the listing's findings, and for a failure of unpacking
its cause and what to do; and what is said of an installer that is not
probed because a payload name would take its run out of its work folder."""

import os
import shutil

from .contract import CONTRACT
from .probe import windows_path


EXIT_SUCCESS = 0
EXIT_FAILURE_PREDICTED = 1
EXIT_USAGE = 2
EXIT_NO_PREDICTION = 3
# Neither Windows nor Wine here to run the probe on: nothing was predicted,
# and nothing went wrong either.
EXIT_NO_PROBE = 4
# The inspector itself failed (a fault of its own, not of FILE): never to
# be read as a prediction.
EXIT_INSPECTOR_FAILED = 5
# A payload name the installer makes no file of: the probe, which runs the
# installer's own unpacking here, is not run on it.
EXIT_NAMES_REFUSED = 6



# The stub's own codes that end an unpack, as named in stub/run_outcome.h.
WINDOWS_ERROR_NAMES = {
    2: "ERROR_FILE_NOT_FOUND",
    3: "ERROR_PATH_NOT_FOUND",
    5: "ERROR_ACCESS_DENIED",
    13: "ERROR_INVALID_DATA",
    39: "ERROR_HANDLE_DISK_FULL",
    68: "ERROR_TOO_MANY_NAMES",
    112: "ERROR_DISK_FULL",
    122: "ERROR_INSUFFICIENT_BUFFER",
    123: "ERROR_INVALID_NAME",
    206: "ERROR_FILENAME_EXCED_RANGE",
    # The exception that ended a run that crashed (exit code 125).
    0xC0000005: "EXCEPTION_ACCESS_VIOLATION",
    0xC0000006: "EXCEPTION_IN_PAGE_ERROR",
}


DISK_FULL_ERRORS = (39, 112)


NAMING_ERRORS = (2, 13, 68, 123, 206)


def refused_name_lines(search):
    """What to say of an installer whose search ends at a name that the
    installer makes no file of in its work folder; none for any other."""
    if search is None or search.refused_name is None:
        return []
    type_key, name, reason = search.refused_name
    return [f"not probed: payload resource {type_key} {name!r} is no name of "
            f"a file in the work folder: {reason}",
            "not probed: the installer refuses such a name before it writes "
            f"anything (exit code {search.exit_code}, Windows error "
            f"{search.windows_error}, ERROR_INVALID_NAME); its unpacking is "
            "not run here on it: pack the installer with "
            "scripts/pack-installer"]


def outcome_line(report, findings):
    exit_code = int(report["exit-code"])
    error = int(report["windows-error"])
    if exit_code == 0:
        setup_type = report["setup-type"]
        road = "self-update" if setup_type == "B7" else "plain"
        tags = (f"archive-type={report['archive-type']} "
                f"setup-type={setup_type} road={road}")
        if findings.defects:
            return (f"outcome: failure after-unpacking {tags} (see the "
                    "defects above)"), EXIT_FAILURE_PREDICTED
        if findings.unjudged:
            return None, EXIT_NO_PREDICTION
        return f"outcome: success {tags}", EXIT_SUCCESS
    why = CONTRACT.exit_code_name(exit_code)
    if error in WINDOWS_ERROR_NAMES:
        why += (", " if why else "") + WINDOWS_ERROR_NAMES[error]
    why += (", " if why else "") + f"at the {report['stage']} stage"
    return (f"outcome: failure exit-code={exit_code} windows-error={error} "
            f"({why})"), EXIT_FAILURE_PREDICTED


def advice(report, findings, path):
    """What went wrong in a predicted failure of unpacking, and what to do
    about it."""
    exit_code = int(report["exit-code"])
    error = int(report["windows-error"])
    folder = windows_path(os.path.dirname(path))
    cabinet_path = len(folder) + len("\\KV_xxxxx.tmp\\") + len(
        findings.setup_name)
    if exit_code == 108 and error == 122:
        return ("the installer's own path is longer than 259 characters, "
                "which the installer cannot hold: run it from a folder with "
                "a shorter path")
    # Windows makes no folder whose path passes 247 characters for a
    # program that is not long-path aware; the work folder's name takes 12
    # characters beside the installer.
    deepest_folder = 247 - len("KV_xxxxx.tmp")
    if exit_code == 108 and len(folder) + 1 > deepest_folder:
        return (f"the installer's folder is {len(folder) + 1} characters "
                f"deep (with its trailing backslash); the work folder fits "
                f"beside it only in a folder of at most {deepest_folder}: "
                "run the installer from a shorter folder")
    if exit_code == 108:
        return ("a file's path in the work folder beside the installer "
                "would pass 259 characters: run the installer from a "
                "shorter folder, or pack it with shorter names "
                "(--archive-name, --setup-name)")
    try:
        free = shutil.disk_usage(os.path.dirname(os.path.abspath(path))).free
    except OSError:
        free = None
    # The cabinet library reports no error of its own, so a volume too
    # small shows only by its room.
    if error in DISK_FULL_ERRORS or (free is not None and
                                     free < findings.unpacked_bytes):
        return ("the volume the installer lies on has no room for what it "
                f"unpacks (up to {findings.unpacked_bytes} bytes at once): "
                "free that much there, or run it from another volume")
    if exit_code in (112, 115) and error in NAMING_ERRORS:
        return ("the payload resources are not named as the installer needs "
                "them (one archive named korvel..., one setup program named "
                "setup..., nothing else in B7, BL and BN): pack the "
                "installer with scripts/pack-installer")
    if exit_code == 115 and findings.cabinet_continues:
        return ("the setup program's cabinet continues in another cabinet, "
                "which the installer does not carry: carry a cabinet that "
                "holds all of the setup program (pack-installer makes one "
                "from the program itself)")
    if exit_code in (115, 125) and findings.cabinet_damaged:
        return ("the setup program's cabinet is damaged or cut short: pack "
                "the setup program itself again")
    if exit_code == 115 and cabinet_path > 240:
        return (f"the cabinet's path in the work folder is {cabinet_path} "
                "characters, and the cabinet library opens none much above "
                "255: run the installer from a shorter folder, or pack it "
                "with a shorter --setup-name")
    if exit_code == 115:
        return ("the cabinet library could not expand the setup program: "
                "check the cabinet with 'gcab -t', or let pack-installer "
                "make it from the setup program itself")
    if exit_code == 125:
        return ("the cabinet library crashed while expanding the setup "
                "program: its cabinet is damaged; pack the setup program "
                "itself again")
    if exit_code in (109, 117):
        return ("the installer could not make its private work folder "
                f"beside itself (Windows error {error}): run it from a "
                "folder where its user may create folders")
    return (f"writing the payload beside the installer failed (Windows "
            f"error {error}): check that folder's volume and permissions")
