"""What the inspector's test runs on: the installers of its rows, made by
the packing command or linked by hand, the inspector run on each and the
installer run for real under Wine, and the records the installer leaves in
the updater's client-state key. Shared by tests/inspect_installer_test,
which holds the rows."""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
from release_tools import probe  # noqa: E402
from release_tools.contract import CONTRACT  # noqa: E402
SETUP_EXE = CONTRACT.setup_program_name
INSPECT = os.path.join(SOURCE_DIR, "scripts", "inspect-installer")
PACK = os.path.join(SOURCE_DIR, "scripts", "pack-installer")
GUID = "{5B1E0C27-8D4A-4F63-9A02-71C4E8D3B6F5}"
QUIVRA = r"HKCU\Software\Quivra"
CLIENT_STATE = QUIVRA + r"\Update\ClientState" + "\\" + GUID
# A system-level run's, in the 32-bit view: an elevated run (every run under
# Wine) starts only an installed setup program registered there.
MACHINE_QUIVRA = r"HKLM\Software\Wow6432Node\Quivra"
MACHINE_CLIENT_STATE = (MACHINE_QUIVRA + r"\Update\ClientState" + "\\" +
                        GUID)
ARCHIVE = None  # a small archive made by 7z, set by the test's main
PREVIOUS_VERSION = "4.2.0"

failures = []
BUILD = None  # the build folder under test, set by the test's main


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    failures.append(message)


def windows_path(host_path):
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


def wine(*arguments, capture=False, environment=None, prefix=()):
    """(exit status, output, what it said on stderr): a failure that the
    tests report says in Wine's or the program's words what went wrong."""
    for attempt in range(1, probe.WINE_ATTEMPTS + 1):
        result = subprocess.run([*prefix, "wine", *arguments],
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE if capture
                                else subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True,
                                errors="replace",
                                # Wine's own errors, and nothing else of its:
                                # a program that ends in a way no test
                                # foresaw is then reported with what Wine saw.
                                env={**os.environ,
                                     "WINEDEBUG": "-all,err+all",
                                     **(environment or {})})
        said = result.stderr.strip()
        if not probe.wine_failed_itself(result.returncode, said):
            break
        print(f"wine {' '.join(arguments)}: Wine failed itself "
              f"(attempt {attempt}): {said}", file=sys.stderr)
    return result.returncode, result.stdout, said


def status_text(status):
    """An exit status as Windows writes it, for failure messages."""
    return f"{status} (0x{status & 0xFFFFFFFF:08X})"


def load_release_tools():
    """The release tools' own modules: the linking of hand-made layouts,
    and the image writer, which lays in payloads the packer refuses."""
    from release_tools import image_writer, linking
    return linking, image_writer


def rewrite_directory(path, change):
    """Rewrites the resource directory of the image at `path` in place:
    `change(directory, section)` edits the bytearray `section`, which holds
    what the ResourceDirectory `directory` reads."""
    from release_tools import pe_image
    with open(path, "rb") as f:
        data = bytearray(f.read())
    image = pe_image.PeImage(bytes(data))
    directory = pe_image.ResourceDirectory(image)
    start = image.offset_of(image.directory(pe_image.RESOURCE_DIRECTORY)[0])[0]
    section = bytearray(directory.section)
    change(directory, section)
    data[start:start + len(section)] = section
    write(path, bytes(data))


def root_entry(directory, type_key):
    """The offset of the root entry of `type_key`."""
    entries, _ = directory.entries(0, 100)
    index = next(i for i, (field, _) in enumerate(entries)
                 if directory.key(field) == type_key)
    return 16 + 8 * index


def share_name_table(directory, section):
    """Type AA's root entry points at the plain type's table of names."""
    struct.pack_into("<I", section, root_entry(directory, "AA") + 4,
                     directory.type_table(CONTRACT.plain_type) | 0x80000000)


def overflow_table(directory, section):
    """Type ZZ's table claims 5000 entries."""
    struct.pack_into("<HH", section, directory.type_table("ZZ") + 12, 0, 5000)


def lower_case_names(directory, section):
    """The plain type's names stored in lower case."""
    table = directory.type_table(CONTRACT.plain_type)
    for field, _ in directory.entries(table, 10)[0]:
        at = (field & 0x7FFFFFFF) + 2
        length = struct.unpack_from("<H", section, at - 2)[0]
        text = bytes(section[at:at + 2 * length]).decode("utf-16-le")
        section[at:at + 2 * length] = text.lower().encode("utf-16-le")


def swap_first_names(directory, section):
    """The first type's first two names stored out of order."""
    at = directory.type_table(CONTRACT.patch_or_archive_type) + 16
    section[at:at + 16] = section[at + 8:at + 16] + section[at:at + 8]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


class Installers:
    """Makes the installers of the rows in a scratch folder."""

    def __init__(self, build, stand_in, scratch):
        self.build = build
        self.stand_in = stand_in
        self.scratch = scratch
        self.linking, self.image_writer = load_release_tools()
        self.archive = os.path.join(scratch, "product.7z")
        self.patch = write(os.path.join(scratch, "setup.patch"),
                           b"STAND-IN-PATCH SELF\n")
        folder = os.path.join(scratch, "cabinet")
        os.mkdir(folder)
        shutil.copy(stand_in, os.path.join(folder, SETUP_EXE))
        subprocess.run(["gcab", "-c", "-z", "../setup.cab", SETUP_EXE],
                       cwd=folder, check=True)
        with open(os.path.join(scratch, "setup.cab"), "rb") as f:
            self.cabinet = f.read()
        with open(stand_in, "rb") as f:
            self.setup_program = f.read()
        write(os.path.join(scratch, "library.c"),
              b"int f(void) { return 0; }\n")
        subprocess.run([os.environ["STUB_CC"], "-shared", "-o", "library.dll",
                        "library.c"], cwd=scratch, check=True)
        with open(os.path.join(scratch, "library.dll"), "rb") as f:
            self.library = f.read()
        self.count = 0

    def elevated_setup(self):
        """A program whose manifest asks for administrator rights."""
        folder = os.path.join(self.scratch, "elevated")
        os.mkdir(folder)
        write(os.path.join(folder, "setup.c"),
              b"int main(void) { return 0; }\n")
        write(os.path.join(folder, "manifest.xml"), (
            '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" '
            'manifestVersion="1.0"><trustInfo xmlns="urn:schemas-microsoft-'
            'com:asm.v3"><security><requestedPrivileges>'
            '<requestedExecutionLevel level="requireAdministrator" '
            'uiAccess="false"/></requestedPrivileges></security></trustInfo>'
            '</assembly>').encode())
        write(os.path.join(folder, "manifest.rc"), b'1 24 "manifest.xml"\n')
        subprocess.run([os.environ["STUB_WINDRES"], "-i", "manifest.rc", "-o",
                        "manifest.o"], cwd=folder, check=True)
        subprocess.run([os.environ["STUB_CC"], "-o", "setup.exe", "setup.c",
                        "manifest.o"], cwd=folder, check=True)
        return os.path.join(folder, "setup.exe")

    def packed(self, output, *arguments):
        """An installer made by the packing command's own command line."""
        result = subprocess.run(
            [sys.executable, PACK, "--no-build", "--build-dir", self.build,
             "--archive", self.archive, "--output", output, *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"pack-installer failed: {result.stdout}")

    def linked(self, output, resources):
        """An installer linked like the packing command links one, from the
        image's own resource script and the given (type, name, data)."""
        self.count += 1
        work = os.path.join(self.scratch, f"rc{self.count}")
        os.mkdir(work)
        script = ['#include "installer.rc"']
        for i, (resource_type, name, data) in enumerate(resources):
            path = write(os.path.join(work, f"item{i}.bin"), data)
            key = name if isinstance(name, int) else f'"{name}"'
            script += ["LANGUAGE 0x09, 0x01",
                       f'{key} {resource_type} "{path}"']
        rc_file = os.path.join(work, "payload.rc")
        with open(rc_file, "w") as f:
            f.write("\n".join(script) + "\n")
        resources_object = os.path.join(work, "resources.o")
        subprocess.run([os.environ["STUB_WINDRES"],
                        "-I", os.path.join(SOURCE_DIR, "resources"),
                        "-I", os.path.join(self.build, "resources"),
                        "-i", rc_file, "-o", resources_object], check=True)
        self.linking.link_image(self.build, resources_object, output, None)


def parse_outcome(line):
    """("success", archive type, setup type, road), ("after-unpacking",
    archive type, setup type, road) or ("failure", exit code, Windows
    error)."""
    success = re.fullmatch(r"outcome: (success|failure after-unpacking) "
                           r"archive-type=(\w*) setup-type=(\w*) "
                           r"road=([\w-]+).*", line)
    if success:
        return (success.group(1).split()[-1],) + success.groups()[1:]
    failure = re.match(r"outcome: failure exit-code=(\d+) "
                       r"windows-error=(\d+)", line)
    if failure:
        return ("failure", int(failure.group(1)), int(failure.group(2)))
    return ("unparsed", line)


def inspect(path, *options):
    result = subprocess.run([sys.executable, INSPECT, "--build-dir", BUILD,
                             *options, path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    return result.returncode, result.stdout, result.stderr


def fresh_client_state(key, create=True):
    """Deletes the client-state key `key` and, with `create`, makes it anew
    and empty, trying again while Wine's reg says otherwise: a run records
    its failure only in a key that exists."""
    for _ in range(5):
        wine("reg", "delete", key, "/f")
        if create:
            wine("reg", "add", key, "/f")
        exists = wine("reg", "query", key)[0] == 0
        values = client_state_values_of(key) if exists else {}
        if exists == create and not values:
            return
        time.sleep(0.2)
    fail(f"the client-state key {key} cannot be reset")


def client_state_values_of(key):
    status, out, _ = wine("reg", "query", key, capture=True)
    values = {}
    for line in out.splitlines():
        match = re.match(r"\s+(\S+)\s+REG_DWORD\s+0x([0-9a-fA-F]+)", line)
        if match:
            values[match.group(1)] = int(match.group(2), 16)
    return values


def client_state_key():
    """The run's client-state key: the machine's when the environment
    makes the run system-level."""
    machine = os.environ.get("QuivraUpdateIsMachine") == "1"
    return MACHINE_CLIENT_STATE if machine else CLIENT_STATE


def client_state_values():
    return client_state_values_of(client_state_key())


def check_row(why, path, expected, installed_setup, listing_has=(),
              environment=None):
    """Inspects and then runs the installer at `path`, both with the
    variables of `environment` set."""
    saved = {name: os.environ.get(name) for name in environment or {}}
    os.environ.update(environment or {})
    try:
        check_row_here(why, path, expected, installed_setup, listing_has)
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def check_row_here(why, path, expected, installed_setup, listing_has):
    key = client_state_key()
    fresh_client_state(key, create=not installed_setup)
    if installed_setup:
        level = ["--system-level"] if key == MACHINE_CLIENT_STATE else []
        status, _, said = wine(installed_setup, "--register-installed", GUID,
                               "--quoted", *level)
        if status != 0:
            fail(f"{why}: cannot register the installed setup program: "
                 f"status {status_text(status)}, {said or 'nothing said'}")
            return

    folder = os.path.dirname(path)
    before = sorted(os.listdir(folder))
    status, out, err = inspect(path)
    lines = [line for line in out.splitlines()
             if not line.startswith("advice: ")]
    predicted = parse_outcome(lines[-1] if lines else "")
    if predicted != expected:
        fail(f"{why}: predicted {predicted}, documented {expected} ({err})")
    wanted_status = 0 if expected[0] == "success" else 1
    if (expected[0] == "after-unpacking") != ("\ndefect: " in "\n" + out):
        fail(f"{why}: defects do not match the outcome:\n{out}")
    if status != wanted_status:
        fail(f"{why}: inspector exit status {status}, not {wanted_status}")
    for text in listing_has:
        if text not in out:
            fail(f"{why}: listing lacks {text!r}:\n{out}")
    if sorted(os.listdir(folder)) != before:
        fail(f"{why}: inspecting left {sorted(os.listdir(folder))}")
    if predicted[0] == "after-unpacking":
        return  # what then fails is setup's or Windows' own doing

    exit_code, _, said = wine(windows_path(path))
    record = client_state_values()
    if predicted[0] == "success":
        if exit_code != 0:
            fail(f"{why}: success predicted, the installer exits "
                 f"{status_text(exit_code)}"
                 + (f" ({said})" if said else ""))
        if "InstallerError" in record:
            fail(f"{why}: success predicted, the installer reports "
                 f"{record['InstallerError']}")
    elif predicted[0] == "failure":
        actual = (record.get("InstallerError"),
                  record.get("InstallerExtraCode1"))
        # A run that ends before its work folder exists reports nothing.
        if re.search(r"at the (module-path|work-folder) stage", lines[-1]):
            reported = (None, None)
        else:
            reported = predicted[1:]
        if exit_code != predicted[1] or actual != reported:
            fail(f"{why}: predicted {predicted[1:]}, the installer exits "
                 f"{status_text(exit_code)} and reports {actual}"
                 + (f" ({said})" if said else ""))
    if sorted(os.listdir(folder)) != before:
        fail(f"{why}: the installer left {sorted(os.listdir(folder))}")


def check_refused_row(why, path, exit_code, victim):
    """An installer whose payload names the installer makes no file of: the
    inspector does not run its probe on it (status 6, saying which name and
    why), and the installer itself ends with `exit_code` and Windows error
    123 before it writes anything; `victim`, a file outside the work folder
    that the name leads to, stays as it was."""
    fresh_client_state(CLIENT_STATE)
    folder = os.path.dirname(path)
    victim_bytes = b"victim\n"
    write(victim, victim_bytes)
    before = sorted(os.listdir(folder))
    status, out, err = inspect(path)
    if status != 6 or "not probed: payload resource" not in out or \
            "ERROR_INVALID_NAME" not in out:
        fail(f"{why}: inspector status {status}, output {out!r} {err!r}")
    if sorted(os.listdir(folder)) != before:
        fail(f"{why}: inspecting left {sorted(os.listdir(folder))}")
    code, _, _ = wine(windows_path(path))
    record = client_state_values()
    reported = (record.get("InstallerError"),
                record.get("InstallerExtraCode1"))
    if code != exit_code or reported != (exit_code,
                                         CONTRACT.error_invalid_name):
        fail(f"{why}: the installer exits {code} and reports {reported}")
    if sorted(os.listdir(folder)) != before:
        fail(f"{why}: the installer left {sorted(os.listdir(folder))}")
    wine("reg", "delete", CLIENT_STATE, "/f")
    if not os.path.isfile(victim):
        fail(f"{why}: {victim} was removed")
    else:
        with open(victim, "rb") as f:
            if f.read() != victim_bytes:
                fail(f"{why}: {victim} was changed")


def probe_processes(inspector_pid):
    """The processes that the inspector started: its probe under Wine."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[1] == str(inspector_pid):
            found.append(int(entry))
    return found


def inspect_with_probe_stopped(path):
    """Inspects `path` with a short time bound and freezes the probe once it
    is writing into its work folder, as a crash or a hang in the platform's
    cabinet library would leave it. None when the probe finished first."""
    folder = os.path.dirname(path)
    inspector = subprocess.Popen(
        [sys.executable, INSPECT, "--build-dir", BUILD, "--timeout", "5",
         path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    stopped = False
    while inspector.poll() is None and not stopped:
        try:
            work = [name for name in os.listdir(folder)
                    if name.startswith(CONTRACT.work_folder_prefix)]
            writing = work and os.listdir(os.path.join(folder, work[0]))
        except OSError:
            writing = False
        if writing:
            for pid in probe_processes(inspector.pid):
                os.kill(pid, signal.SIGSTOP)
            stopped = True
        time.sleep(0.002)
    _, err = inspector.communicate()
    return (inspector.returncode, err) if stopped else None


def sign_by_hand(source, output):
    """A copy whose security directory names a certificate table, as a
    signing tool leaves it; the certificate itself is not checked here."""
    sys.path.append("/usr/lib/python3/dist-packages")
    import pefile
    pe = pefile.PE(source, fast_load=True)
    length = len(pe.__data__)
    padding = bytes(-length % 8)
    certificate = struct.pack("<IHH", 16, 0x200, 2) + bytes(8)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]  # the certificate table
    security.VirtualAddress = length + len(padding)
    security.Size = len(certificate)
    write(output, bytes(pe.write()) + padding + certificate)


def seven_zip_archive(scratch, *options):
    """A small archive as 7z makes one, with `options` (a password, say)."""
    folder = os.path.join(scratch, "product")
    os.makedirs(folder, exist_ok=True)
    write(os.path.join(folder, "readme.txt"), b"The product.\n" * 20)
    name = "product.7z" if not options else "product-with-options.7z"
    subprocess.run(["7z", "a", "-bd", "-bso0", *options, f"../{name}",
                    "readme.txt"], cwd=folder, check=True)
    with open(os.path.join(scratch, name), "rb") as f:
        return f.read()


def cabinet_of(scratch, name, files):
    """A cabinet made by gcab of `files` (name, bytes), in that order."""
    folder = os.path.join(scratch, name)
    os.mkdir(folder)
    for member, data in files:
        write(os.path.join(folder, member), data)
    subprocess.run(["gcab", "-c", "-z", "../" + name + ".cab"] +
                   [member for member, _ in files], cwd=folder, check=True)
    with open(os.path.join(scratch, name + ".cab"), "rb") as f:
        return f.read()


class Scene:
    """What the rows share: the installers' maker, the scratch folder, the
    stand-in setup program and an installed copy of it, the installer's own
    requested execution level, the cabinet and archive items, and one
    installer whose setup name fits only the shortest of three folders."""

    def __init__(self, build, stand_in, scratch):
        self.make = Installers(build, stand_in, scratch)
        self.stand_in = stand_in
        self.scratch = scratch
        installed = os.path.join(scratch, "installed")
        os.mkdir(installed)
        self.installed_setup = windows_path(os.path.join(installed,
                                                         SETUP_EXE))
        shutil.copy(stand_in, os.path.join(installed, SETUP_EXE))
        with open(os.path.join(SOURCE_DIR, "resources",
                               "installer.manifest")) as f:
            self.level = re.search(r'requestedExecutionLevel level="(\w+)"',
                                   f.read()).group(1)
        self.cab = (CONTRACT.cabinet_type, "SETUP.EX_", self.make.cabinet)
        self.archive = (CONTRACT.patch_or_archive_type, "KORVEL.PACKED.7Z",
                        ARCHIVE)
        # A setup name that makes the cabinet's path 257 characters in the
        # work folder (its name and a backslash) of folder "f". Two
        # characters more of folder and Wine's cabinet library expands it no
        # more; three, and the path does not fit at all.
        fits = windows_path(self.folder("f")) + "\\"
        in_work_folder = CONTRACT.work_folder_name_length() + 1
        long_name = "SETUP" + "X" * (257 - len(fits) - in_work_folder - 5)
        self.long_installer = os.path.join(scratch, "long.exe")
        self.make.packed(self.long_installer, "--setup", stand_in,
                         "--setup-name", long_name)
        for depth in ("f", "fff", "ffff"):
            shutil.copy(self.long_installer,
                        os.path.join(self.folder(depth), "installer.exe"))

    def folder(self, name):
        path = os.path.join(self.scratch, name)
        os.makedirs(path, exist_ok=True)
        return path
