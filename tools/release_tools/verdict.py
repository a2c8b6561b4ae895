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



# The installer's own exit codes that the verdict tells apart.
PATH_TOO_LONG = CONTRACT.exit_code("PathTooLong")
WORK_FOLDER_NOT_CREATED = CONTRACT.exit_code("WorkFolderNotCreated")
FOLDER_SECURITY_FAILED = CONTRACT.exit_code("FolderSecurityFailed")
ARCHIVE_NOT_UNPACKED = CONTRACT.exit_code("ArchiveNotUnpacked")
SETUP_NOT_UNPACKED = CONTRACT.exit_code("SetupNotUnpacked")
RUN_CRASHED = CONTRACT.exit_code("RunCrashed")


# Windows errors and exceptions that outcome lines name: those the
# installer sets itself (from the contract), and those its platform calls
# give it here.
ERROR_ACCESS_DENIED = 5
ERROR_HANDLE_DISK_FULL = 39
ERROR_DISK_FULL = 112
ERROR_INSUFFICIENT_BUFFER = 122
WINDOWS_ERROR_NAMES = {
    **CONTRACT.windows_error_names(),
    ERROR_ACCESS_DENIED: "ERROR_ACCESS_DENIED",
    ERROR_HANDLE_DISK_FULL: "ERROR_HANDLE_DISK_FULL",
    ERROR_DISK_FULL: "ERROR_DISK_FULL",
    ERROR_INSUFFICIENT_BUFFER: "ERROR_INSUFFICIENT_BUFFER",
    # The exception that ended a run that crashed (RunCrashed).
    0xC0000005: "EXCEPTION_ACCESS_VIOLATION",
    0xC0000006: "EXCEPTION_IN_PAGE_ERROR",
}
DISK_FULL_ERRORS = (ERROR_HANDLE_DISK_FULL, ERROR_DISK_FULL)
# The errors with which the installer's search of its payload ends on a
# name: none found, one of neither prefix, a second of one, one too long,
# one that is no file's name.
NAMING_ERRORS = (CONTRACT.error_file_not_found, CONTRACT.error_invalid_data,
                 CONTRACT.error_too_many_names, CONTRACT.error_invalid_name,
                 CONTRACT.error_filename_exced_range)


# Windows makes no folder whose path passes 247 characters for a program
# that is not long-path aware: the deepest folder the work folder fits
# beside.
DEEPEST_FOLDER = (CONTRACT.longest_work_folder_path -
                  CONTRACT.work_folder_name_length())
# The cabinet library opens no cabinet whose path is much above 255
# characters.
CABINET_PATH_LIMIT = 240


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
    """The outcome line and the status that go with the probe's report and
    the listing's findings; no line (None) when the installer unpacks but
    what it runs was not all judged."""
    exit_code = int(report["exit-code"])
    error = int(report["windows-error"])
    if exit_code == 0:
        setup_type = report["setup-type"]
        road = ("self-update" if setup_type == CONTRACT.patch_or_archive_type
                else "plain")
        tags = (f"archive-type={report['archive-type']} "
                f"setup-type={setup_type} road={road}")
        if findings.defects:
            return (f"outcome: failure after-unpacking {tags} (see the "
                    "defects above)"), EXIT_FAILURE_PREDICTED
        if findings.unjudged:
            return None, EXIT_NO_PREDICTION
        if findings.elevated_only:
            return (f"outcome: success {tags} (only where the installer "
                    "runs elevated)"), EXIT_SUCCESS
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
    if exit_code == PATH_TOO_LONG:
        return path_advice(error, windows_path(os.path.dirname(path)))
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
    if exit_code in (ARCHIVE_NOT_UNPACKED, SETUP_NOT_UNPACKED,
                     RUN_CRASHED):
        return payload_advice(exit_code, error, findings, path)
    if exit_code in (WORK_FOLDER_NOT_CREATED, FOLDER_SECURITY_FAILED):
        return ("the installer could not make its private work folder "
                f"beside itself (Windows error {error}): run it from a "
                "folder where its user may create folders")
    return write_advice(error)


def write_advice(error):
    return (f"writing the payload beside the installer failed (Windows "
            f"error {error}): check that folder's volume and permissions")


def path_advice(error, folder):
    """The advice for PathTooLong, for an installer in `folder` (its
    Windows path)."""
    if error == ERROR_INSUFFICIENT_BUFFER:
        return ("the installer's own path is longer than 259 characters, "
                "which the installer cannot hold: run it from a folder with "
                "a shorter path")
    if len(folder) + 1 > DEEPEST_FOLDER:
        return (f"the installer's folder is {len(folder) + 1} characters "
                f"deep (with its trailing backslash); the work folder fits "
                f"beside it only in a folder of at most {DEEPEST_FOLDER}: "
                "run the installer from a shorter folder")
    return ("a file's path in the work folder beside the installer "
            "would pass 259 characters: run the installer from a "
            "shorter folder, or pack it with shorter names "
            "(--archive-name, --setup-name)")


def payload_advice(exit_code, error, findings, path):
    """The advice for a payload that was not unpacked (ArchiveNotUnpacked,
    SetupNotUnpacked) or whose expansion crashed (RunCrashed)."""
    if exit_code != RUN_CRASHED and error in NAMING_ERRORS:
        return ("the payload resources are not named as the installer needs "
                f"them (one archive named {CONTRACT.archive_prefix}..., one "
                f"setup program named {CONTRACT.setup_prefix}..., nothing "
                f"else in {', '.join(CONTRACT.payload_types[:-1])} and "
                f"{CONTRACT.payload_types[-1]}): pack the installer with "
                "scripts/pack-installer")
    if exit_code == SETUP_NOT_UNPACKED and findings.cabinet_continues:
        return ("the setup program's cabinet continues in another cabinet, "
                "which the installer does not carry: carry a cabinet that "
                "holds all of the setup program (pack-installer makes one "
                "from the program itself)")
    if exit_code != ARCHIVE_NOT_UNPACKED and findings.cabinet_damaged:
        return ("the setup program's cabinet is damaged or cut short: pack "
                "the setup program itself again")
    cabinet_path = (len(windows_path(os.path.dirname(path))) + 2 +
                    CONTRACT.work_folder_name_length() +
                    len(findings.setup_name))
    if exit_code == SETUP_NOT_UNPACKED and cabinet_path > CABINET_PATH_LIMIT:
        return (f"the cabinet's path in the work folder is {cabinet_path} "
                "characters, and the cabinet library opens none much above "
                "255: run the installer from a shorter folder, or pack it "
                "with a shorter --setup-name")
    if exit_code == SETUP_NOT_UNPACKED:
        return ("the cabinet library could not expand the setup program: "
                "check the cabinet with 'gcab -t', or let pack-installer "
                "make it from the setup program itself")
    if exit_code == RUN_CRASHED:
        return ("the cabinet library crashed while expanding the setup "
                "program: its cabinet is damaged; pack the setup program "
                "itself again")
    return write_advice(error)
